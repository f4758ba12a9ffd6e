// Writes Vandrel's type library with ICreateTypeLib2. The library must list _IShellEvents,
// Shell and IShell in that order, and widl cannot write it: with the coclass ahead of the
// interface it names, widl's library loses the last byte of its LIBID and both interfaces
// derive from the wrong record instead of IDispatch.
//
//   build_typelib OUTPUT.tlb STDOLE2.tlb
//
// STDOLE2.tlb is the Win32 standard library that IDispatch is taken from. It has to be the
// Win32 one: ICreateTypeInfo::LayOut starts IShell's vtable at the size of IDispatch's as
// its own library states it, so IDispatch from a Win64 stdole2 would put IShell's first
// function at slot 14 of a Win32 vtable. Under Wine, either path may be a Unix path.
//
// The GUIDs come from the header widl makes from vandrel.idl, and IShell's parameter types
// from the C++ declarations in it, so the library cannot drift from the vtable the server
// implements. Names, DISPIDs and help strings are those of vandrel.idl.
#include <initguid.h>

#include "vandrel_idl.h"

#include <oleauto.h>
#include <windows.h>

#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

template <typename T>
class ComRef {
public:
    ComRef() = default;
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;
    ~ComRef() { if (p_) p_->Release(); }
    T* operator->() const { return p_; }
    T* get() const { return p_; }
    T** out() { return &p_; }
private:
    T* p_ = nullptr;
};

// A failed step names itself on stderr; main turns it into exit code 1.
struct Failure {
    const char* step;
    HRESULT hr;
};

void check(HRESULT hr, const char* step) {
    if (FAILED(hr)) throw Failure{step, hr};
}

struct ParamSpec {
    const wchar_t* name;  // nullptr for the value of a property put, which is not named
    VARTYPE vt;
    bool retval;          // [out, retval]: a pointer to vt
};

struct MemberSpec {
    MEMBERID id;
    INVOKEKIND kind;
    const wchar_t* name;
    const wchar_t* help;
    std::vector<ParamSpec> params;
};

// Automation types of IShell's C++ parameters. BSTR is a full specialisation, so it wins over
// the pointer case that catches the [out, retval] results.
template <typename T> struct AutomationType;
template <> struct AutomationType<BSTR> { static constexpr VARTYPE vt = VT_BSTR; };
template <> struct AutomationType<BYTE> { static constexpr VARTYPE vt = VT_UI1; };
template <> struct AutomationType<VARIANT_BOOL> { static constexpr VARTYPE vt = VT_BOOL; };
template <> struct AutomationType<LONG> { static constexpr VARTYPE vt = VT_I4; };
template <typename T> struct AutomationType<T*> {
    static constexpr VARTYPE vt = AutomationType<T>::vt;
    static constexpr bool retval = true;
};

template <typename T> constexpr bool is_retval() {
    if constexpr (requires { AutomationType<T>::retval; }) return true;
    else return false;
}

// An IShell member: its parameter types from the C++ method, its names from the caller (one
// fewer than the parameters for a property put).
template <typename... Args>
MemberSpec vtable_member(HRESULT (STDMETHODCALLTYPE IShell::*)(Args...), MEMBERID id,
                         INVOKEKIND kind, const wchar_t* name, const wchar_t* help,
                         std::initializer_list<const wchar_t*> names) {
    constexpr VARTYPE vts[] = {AutomationType<Args>::vt..., VT_EMPTY};
    constexpr bool retvals[] = {is_retval<Args>()..., false};
    constexpr size_t count = sizeof...(Args);
    const size_t named = kind == INVOKE_PROPERTYPUT && count > 0 ? count - 1 : count;
    if (names.size() != named) throw Failure{"parameter names of an IShell member", E_INVALIDARG};
    MemberSpec m{id, kind, name, help, {}};
    auto n = names.begin();
    for (size_t i = 0; i < count; ++i) m.params.push_back({i < named ? *n++ : nullptr, vts[i], retvals[i]});
    return m;
}

std::vector<MemberSpec> event_members() {
    const ParamSpec msg{L"Msg", VT_BSTR, false};
    return {
        {1, INVOKE_FUNC, L"Status", L"method Status", {msg}},
        {2, INVOKE_FUNC, L"Command", L"method Command",
         {{L"b1", VT_UI1, false}, {L"b2", VT_UI1, false}, {L"b3", VT_UI1, false},
          {L"b4", VT_UI1, false}, {L"b5", VT_UI1, false}, {L"disk", VT_UI1, false},
          {L"sector", VT_I4, false}, {L"Command", VT_BSTR, false}}},
        {3, INVOKE_FUNC, L"Debug", L"method Debug", {msg}},
        {4, INVOKE_FUNC, L"Error", L"method Error", {{L"number", VT_I4, false}, msg}},
    };
}

std::vector<MemberSpec> shell_members() {
    const auto get = INVOKE_PROPERTYGET, put = INVOKE_PROPERTYPUT, call = INVOKE_FUNC;
    return {
        vtable_member(&IShell::mountDisk, 1, call, L"mountDisk", L"method mountDisk",
                      {L"path", L"diskid", L"readOnly"}),
        vtable_member(&IShell::unMountDisk, 2, call, L"unMountDisk", L"method unMountDisk",
                      {L"diskid"}),
        vtable_member(&IShell::start, 3, call, L"start", L"method start", {}),
        vtable_member(&IShell::stop, 4, call, L"stop", L"method stop", {}),
        vtable_member(&IShell::get_isStopped, 5, get, L"isStopped", L"property isStopped",
                      {L"pVal"}),
        vtable_member(&IShell::get_serialPort, 6, get, L"serialPort", L"property serialPort",
                      {L"pVal"}),
        vtable_member(&IShell::put_serialPort, 6, put, L"serialPort", L"property serialPort",
                      {}),
        vtable_member(&IShell::swapDisks, 7, call, L"swapDisks", L"method swapDisks",
                      {L"diskid1", L"diskid2"}),
        vtable_member(&IShell::get_diskPath, 8, get, L"diskPath", L"property diskPath",
                      {L"id", L"pVal"}),
        vtable_member(&IShell::get_diskReadOnly, 9, get, L"diskReadOnly",
                      L"property diskReadOnly", {L"id", L"pVal"}),
        vtable_member(&IShell::get_diskSectorSize, 10, get, L"diskSectorSize",
                      L"property diskSectorSize", {L"id", L"pVal"}),
        vtable_member(&IShell::get_diskSectorCount, 11, get, L"diskSectorCount",
                      L"property diskSectorCount", {L"id", L"pVal"}),
        vtable_member(&IShell::createImage, 12, call, L"createImage", L"method createImage",
                      {L"imagePath", L"sectorCount", L"sectorSize"}),
    };
}

void add_members(ICreateTypeInfo* info, FUNCKIND funckind, const std::vector<MemberSpec>& members) {
    UINT index = 0;
    for (const MemberSpec& m : members) {
        std::vector<TYPEDESC> pointees(m.params.size());
        std::vector<ELEMDESC> params(m.params.size());
        std::vector<LPOLESTR> names{const_cast<LPOLESTR>(m.name)};
        for (size_t i = 0; i < m.params.size(); ++i) {
            const ParamSpec& p = m.params[i];
            ELEMDESC& e = params[i];
            if (p.retval) {
                pointees[i].vt = p.vt;
                e.tdesc.vt = VT_PTR;
                e.tdesc.lptdesc = &pointees[i];
                e.paramdesc.wParamFlags = PARAMFLAG_FOUT | PARAMFLAG_FRETVAL;
            } else {
                e.tdesc.vt = p.vt;
                e.paramdesc.wParamFlags = PARAMFLAG_FIN;
            }
            if (p.name) names.push_back(const_cast<LPOLESTR>(p.name));
        }
        FUNCDESC desc{};
        desc.memid = m.id;
        desc.funckind = funckind;
        desc.invkind = m.kind;
        desc.callconv = CC_STDCALL;
        desc.cParams = static_cast<SHORT>(params.size());
        desc.lprgelemdescParam = params.empty() ? nullptr : params.data();
        desc.elemdescFunc.tdesc.vt = VT_HRESULT;
        check(info->AddFuncDesc(index, &desc), "AddFuncDesc");
        check(info->SetFuncAndParamNames(index, names.data(), static_cast<UINT>(names.size())),
              "SetFuncAndParamNames");
        check(info->SetFuncDocString(index, const_cast<LPOLESTR>(m.help)), "SetFuncDocString");
        ++index;
    }
}

void add_base(ICreateTypeInfo* info, ITypeInfo* base) {
    HREFTYPE ref = 0;
    check(info->AddRefTypeInfo(base, &ref), "AddRefTypeInfo (IDispatch)");
    check(info->AddImplType(0, ref), "AddImplType (IDispatch)");
}

void add_interface(ICreateTypeInfo* coclass, UINT index, ICreateTypeInfo* member, INT flags) {
    ComRef<ITypeInfo> info;
    check(member->QueryInterface(IID_ITypeInfo, reinterpret_cast<void**>(info.out())),
          "QueryInterface (ITypeInfo)");
    HREFTYPE ref = 0;
    check(coclass->AddRefTypeInfo(info.get(), &ref), "AddRefTypeInfo (coclass member)");
    check(coclass->AddImplType(index, ref), "AddImplType (coclass member)");
    check(coclass->SetImplTypeFlags(index, flags), "SetImplTypeFlags");
}

// Under Wine, a Unix path becomes the DOS path Wine maps it to; anything else is used as is.
std::wstring windows_path(const wchar_t* path) {
    if (path[0] != L'/') return path;
    using ToDos = WCHAR* (CDECL*)(const char*);
    auto to_dos = reinterpret_cast<ToDos>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32"), "wine_get_dos_file_name")));
    if (!to_dos) return path;
    std::string unix_path;
    for (const wchar_t* c = path; *c; ++c) unix_path += static_cast<char>(*c);
    WCHAR* dos = to_dos(unix_path.c_str());
    if (!dos) return path;
    std::wstring result(dos);
    HeapFree(GetProcessHeap(), 0, dos);
    return result;
}

void build(const wchar_t* path, const wchar_t* stdole2_path) {
    ComRef<ICreateTypeLib2> lib;
    check(CreateTypeLib2(SYS_WIN32, path, lib.out()), "CreateTypeLib2");
    check(lib->SetName(const_cast<LPOLESTR>(L"Vandrel")), "SetName");
    check(lib->SetGuid(LIBID_Vandrel), "SetGuid (library)");
    check(lib->SetVersion(1, 0), "SetVersion");
    check(lib->SetLcid(0x409), "SetLcid");
    check(lib->SetDocString(const_cast<LPOLESTR>(L"Vandrel")), "SetDocString (library)");

    ComRef<ITypeLib> stdole;
    check(LoadTypeLibEx(stdole2_path, REGKIND_NONE, stdole.out()), "LoadTypeLib (stdole2.tlb)");
    TLIBATTR* stdole_attr = nullptr;
    check(stdole->GetLibAttr(&stdole_attr), "GetLibAttr (stdole2.tlb)");
    const bool win32 = stdole_attr->syskind == SYS_WIN32;
    stdole->ReleaseTLibAttr(stdole_attr);
    if (!win32) throw Failure{"stdole2.tlb is not the Win32 library", E_INVALIDARG};
    ComRef<ITypeInfo> dispatch;
    check(stdole->GetTypeInfoOfGuid(IID_IDispatch, dispatch.out()), "IDispatch in stdole2.tlb");

    // The order of CreateTypeInfo is the order of the library; the coclass is filled in last,
    // once IShell exists to be named.
    ComRef<ICreateTypeInfo> events, shell, ishell;
    check(lib->CreateTypeInfo(const_cast<LPOLESTR>(L"_IShellEvents"), TKIND_DISPATCH, events.out()),
          "CreateTypeInfo (_IShellEvents)");
    check(lib->CreateTypeInfo(const_cast<LPOLESTR>(L"Shell"), TKIND_COCLASS, shell.out()),
          "CreateTypeInfo (Shell)");
    check(lib->CreateTypeInfo(const_cast<LPOLESTR>(L"IShell"), TKIND_INTERFACE, ishell.out()),
          "CreateTypeInfo (IShell)");

    check(events->SetGuid(DIID__IShellEvents), "SetGuid (_IShellEvents)");
    check(events->SetDocString(const_cast<LPOLESTR>(L"_IShellEvents Interface")),
          "SetDocString (_IShellEvents)");
    check(events->SetTypeFlags(TYPEFLAG_FDISPATCHABLE), "SetTypeFlags (_IShellEvents)");
    add_base(events.get(), dispatch.get());
    add_members(events.get(), FUNC_DISPATCH, event_members());

    check(ishell->SetGuid(IID_IShell), "SetGuid (IShell)");
    check(ishell->SetDocString(const_cast<LPOLESTR>(L"IShell Interface")), "SetDocString (IShell)");
    check(ishell->SetTypeFlags(TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE),
          "SetTypeFlags (IShell)");
    add_base(ishell.get(), dispatch.get());
    add_members(ishell.get(), FUNC_PUREVIRTUAL, shell_members());

    check(shell->SetGuid(CLSID_Shell), "SetGuid (Shell)");
    check(shell->SetDocString(const_cast<LPOLESTR>(L"Shell Class")), "SetDocString (Shell)");
    add_interface(shell.get(), 0, ishell.get(), IMPLTYPEFLAG_FDEFAULT);
    add_interface(shell.get(), 1, events.get(), IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE);
    // After the interfaces: adding them marks the coclass dispatchable, which a coclass is not.
    check(shell->SetTypeFlags(TYPEFLAG_FCANCREATE), "SetTypeFlags (Shell)");

    check(events->LayOut(), "LayOut (_IShellEvents)");
    check(shell->LayOut(), "LayOut (Shell)");
    check(ishell->LayOut(), "LayOut (IShell)");
    check(lib->SaveAllChanges(), "SaveAllChanges");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: build_typelib OUTPUT.tlb STDOLE2.tlb\n");
        return 2;
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
        std::fprintf(stderr, "build_typelib: CoInitializeEx failed\n");
        return 1;
    }
    int rc = 0;
    const std::wstring output = windows_path(argv[1]);
    try {
        build(output.c_str(), windows_path(argv[2]).c_str());
    } catch (const Failure& f) {
        std::fprintf(stderr, "build_typelib: %s failed: 0x%08lx\n", f.step,
                     static_cast<unsigned long>(f.hr));
        DeleteFileW(output.c_str());  // never leave a partial library for the build to take as done
        rc = 1;
    }
    CoUninitialize();
    return rc;
}
