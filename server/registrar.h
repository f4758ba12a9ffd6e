// A registrar for registration scripts in the component runtime's notation:
//
//   HKCR
//   {
//       NoRemove CLSID
//       {
//           ForceRemove '{...}' = s 'Shell Class'
//           {
//               LocalServer32 = s '%MODULE%'
//               val AppID = s '{...}'
//           }
//       }
//   }
//
// A key may carry a default string value (= s '...'), named string values (val name = s
// '...') and subkeys. NoRemove keys are kept on unregistration; ForceRemove keys are deleted
// with everything below them before registration writes them anew. Names and data may be
// quoted with single quotes (a quote inside is doubled) or bare.
#pragma once

#include <map>
#include <string>

#include "server/com_support.h"

class Registrar {
public:
    // Replacements such as MODULE -> the program's path, applied to %MODULE% in scripts.
    void addReplacement(const std::wstring& name, const std::wstring& value);
    // root overrides the script's own root key (tests use a scratch key of their own).
    HRESULT registerScript(const std::wstring& script, HKEY root = nullptr) const;
    HRESULT unregisterScript(const std::wstring& script, HKEY root = nullptr) const;

private:
    HRESULT run(const std::wstring& script, HKEY root, bool registering) const;
    std::map<std::wstring, std::wstring> replacements_;
};

// The text of a "REGISTRY" resource of this program, in UTF-16 (empty when missing).
std::wstring loadRegistryScript(int id);
