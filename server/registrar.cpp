// The registrar: parse a script into a tree of keys, then write or remove it.
#include "server/registrar.h"

#include <cwctype>
#include <vector>

namespace {

struct Value {
    std::wstring name;  // empty: the default value
    std::wstring data;
};

struct Key {
    std::wstring name;
    bool noRemove = false;
    bool forceRemove = false;
    std::vector<Value> values;
    std::vector<Key> keys;
};

class Parser {
public:
    explicit Parser(const std::wstring& text) : text_(text) {}

    bool script(HKEY& root, std::vector<Key>& keys) {
        std::wstring name;
        if (!token(name)) return false;
        if (name == L"HKCR" || name == L"HKEY_CLASSES_ROOT") root = HKEY_CLASSES_ROOT;
        else if (name == L"HKCU" || name == L"HKEY_CURRENT_USER") root = HKEY_CURRENT_USER;
        else if (name == L"HKLM" || name == L"HKEY_LOCAL_MACHINE") root = HKEY_LOCAL_MACHINE;
        else return false;
        return block(keys) && atEnd();
    }

private:
    void skipSpace() {
        while (pos_ < text_.size() && std::iswspace(text_[pos_])) ++pos_;
    }
    bool atEnd() {
        skipSpace();
        return pos_ == text_.size();
    }
    bool peek(wchar_t c) {
        skipSpace();
        return pos_ < text_.size() && text_[pos_] == c;
    }
    bool expect(wchar_t c) {
        if (!peek(c)) return false;
        ++pos_;
        return true;
    }
    // A quoted or bare token.
    bool token(std::wstring& out) {
        skipSpace();
        out.clear();
        if (pos_ >= text_.size()) return false;
        if (text_[pos_] == L'\'') {
            for (++pos_; pos_ < text_.size(); ++pos_) {
                if (text_[pos_] == L'\'') {
                    if (pos_ + 1 < text_.size() && text_[pos_ + 1] == L'\'') {
                        out += L'\'';
                        ++pos_;
                    } else {
                        ++pos_;
                        return true;
                    }
                } else {
                    out += text_[pos_];
                }
            }
            return false;  // unterminated
        }
        while (pos_ < text_.size() && !std::iswspace(text_[pos_]) && text_[pos_] != L'{' &&
               text_[pos_] != L'}' && text_[pos_] != L'=' && text_[pos_] != L'\'')
            out += text_[pos_++];
        return !out.empty();
    }
    // "= s 'data'"
    bool stringValue(std::wstring& data) {
        std::wstring type;
        return expect(L'=') && token(type) && (type == L"s" || type == L"S") && token(data);
    }
    bool block(std::vector<Key>& keys) {
        if (!expect(L'{')) return false;
        while (!peek(L'}')) {
            Key key;
            std::wstring word;
            if (!token(word)) return false;
            if (word == L"NoRemove" || word == L"ForceRemove") {
                (word == L"NoRemove" ? key.noRemove : key.forceRemove) = true;
                if (!token(word)) return false;
            }
            if (word == L"val") {  // a named value of the enclosing key, kept as a pseudo-key
                Value v;
                if (!token(v.name) || !stringValue(v.data)) return false;
                Key holder;
                holder.values.push_back(v);
                keys.push_back(holder);  // empty name: values of the parent
                continue;
            }
            key.name = word;
            if (peek(L'=')) {
                Value v;
                if (!stringValue(v.data)) return false;
                key.values.push_back(v);
            }
            if (peek(L'{') && !block(key.keys)) return false;
            keys.push_back(std::move(key));
        }
        return expect(L'}');
    }

    const std::wstring& text_;
    std::size_t pos_ = 0;
};

LONG setString(HKEY key, const std::wstring& name, const std::wstring& data) {
    return RegSetValueExW(key, name.empty() ? nullptr : name.c_str(), 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(data.c_str()),
                          static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
}

class OpenKey {
public:
    OpenKey() = default;
    ~OpenKey() {
        if (key_) RegCloseKey(key_);
    }
    OpenKey(const OpenKey&) = delete;
    OpenKey& operator=(const OpenKey&) = delete;
    HKEY* put() { return &key_; }
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

// Values named by "val" live in nameless entries of the parent's key list.
void splitValues(const Key& key, std::vector<Value>& values, std::vector<const Key*>& subkeys) {
    values = key.values;
    for (const Key& k : key.keys) {
        if (k.name.empty()) values.insert(values.end(), k.values.begin(), k.values.end());
        else subkeys.push_back(&k);
    }
}

HRESULT registerKeys(HKEY parent, const std::vector<Key>& keys);

HRESULT registerKey(HKEY parent, const Key& key) {
    if (key.forceRemove) RegDeleteTreeW(parent, key.name.c_str());
    OpenKey k;
    LONG r = RegCreateKeyExW(parent, key.name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, k.put(), nullptr);
    if (r != ERROR_SUCCESS) return HRESULT_FROM_WIN32(r);
    std::vector<Value> values;
    std::vector<const Key*> subkeys;
    splitValues(key, values, subkeys);
    for (const Value& v : values) {
        r = setString(k.get(), v.name, v.data);
        if (r != ERROR_SUCCESS) return HRESULT_FROM_WIN32(r);
    }
    for (const Key* sub : subkeys) {
        const HRESULT hr = registerKey(k.get(), *sub);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

HRESULT registerKeys(HKEY parent, const std::vector<Key>& keys) {
    std::vector<Value> values;
    for (const Key& key : keys) {
        if (key.name.empty()) {
            for (const Value& v : key.values) {
                const LONG r = setString(parent, v.name, v.data);
                if (r != ERROR_SUCCESS) return HRESULT_FROM_WIN32(r);
            }
            continue;
        }
        const HRESULT hr = registerKey(parent, key);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

bool hasSubkeys(HKEY key) {
    DWORD count = 0;
    return RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr, nullptr,
                            nullptr, nullptr) == ERROR_SUCCESS &&
           count > 0;
}

void unregisterKey(HKEY parent, const Key& key) {
    {
        OpenKey k;
        if (RegOpenKeyExW(parent, key.name.c_str(), 0, KEY_ALL_ACCESS, k.put()) != ERROR_SUCCESS) return;
        std::vector<Value> values;
        std::vector<const Key*> subkeys;
        splitValues(key, values, subkeys);
        for (const Key* sub : subkeys) unregisterKey(k.get(), *sub);
        for (const Value& v : values) RegDeleteValueW(k.get(), v.name.empty() ? nullptr : v.name.c_str());
        // A key that still holds keys the script does not name stays.
        if (key.noRemove || hasSubkeys(k.get())) return;
    }
    RegDeleteKeyW(parent, key.name.c_str());
}

}  // namespace

void Registrar::addReplacement(const std::wstring& name, const std::wstring& value) {
    replacements_[name] = value;
}

HRESULT Registrar::registerScript(const std::wstring& script, HKEY root) const { return run(script, root, true); }

HRESULT Registrar::unregisterScript(const std::wstring& script, HKEY root) const {
    return run(script, root, false);
}

HRESULT Registrar::run(const std::wstring& script, HKEY root, bool registering) const {
    std::wstring text = script;
    for (const auto& [name, value] : replacements_) {
        // Inside the script's quotes a quote is written twice.
        std::wstring quoted;
        for (wchar_t c : value) {
            quoted += c;
            if (c == L'\'') quoted += L'\'';
        }
        const std::wstring mark = L"%" + name + L"%";
        for (std::size_t at = text.find(mark); at != std::wstring::npos; at = text.find(mark, at + quoted.size()))
            text.replace(at, mark.size(), quoted);
    }
    HKEY scriptRoot = nullptr;
    std::vector<Key> keys;
    if (!Parser(text).script(scriptRoot, keys)) return DISP_E_EXCEPTION;
    const HKEY target = root ? root : scriptRoot;
    if (registering) return registerKeys(target, keys);
    for (const Key& key : keys) {
        if (key.name.empty()) {
            for (const Value& v : key.values) RegDeleteValueW(target, v.name.c_str());
        } else {
            unregisterKey(target, key);
        }
    }
    return S_OK;
}

std::wstring loadRegistryScript(int id) {
    HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(id), L"REGISTRY");
    if (!found) return {};
    HGLOBAL loaded = LoadResource(nullptr, found);
    const DWORD size = SizeofResource(nullptr, found);
    const char* bytes = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
    if (!bytes || size == 0) return {};
    const int n = MultiByteToWideChar(CP_ACP, 0, bytes, static_cast<int>(size), nullptr, 0);
    std::wstring text(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, bytes, static_cast<int>(size), text.data(), n);
    return text;
}
