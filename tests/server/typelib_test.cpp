// Reads Vandrel.tlb back through the system's type library loader, as a client, the
// marshaler and IDispatch see it.
//
//   typelib_test [gtest options] PATH/Vandrel.tlb
//
// widl writes this library with a corrupt LIBID and with both interfaces derived from the
// wrong record; a builder that takes IDispatch from the wrong library shifts IShell's vtable.
// The checks below are the ones those faults fail.
#include "vandrel_idl.h"

#include <oleauto.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

void PrintTo(const GUID& guid, std::ostream* os) {
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    for (const wchar_t* c = text; *c; ++c) *os << static_cast<char>(*c);
}

namespace {

std::wstring g_library_path;

// The identities the library must carry, spelled out here rather than taken from the header.
constexpr GUID kLibId = {0xC2283C0C, 0xA2C3, 0x4330, {0x84, 0x3D, 0x0D, 0x67, 0x85, 0x67, 0x5A, 0xCA}};
constexpr GUID kEventsId = {0xC3776EA5, 0x0488, 0x402E, {0x8F, 0xBF, 0xCD, 0xAC, 0x4D, 0x68, 0x0E, 0x04}};
constexpr GUID kShellClassId = {0xBCE1022D, 0x2DFE, 0x4F00, {0xA0, 0x73, 0x43, 0x0B, 0x56, 0x1E, 0xB4, 0x78}};
constexpr GUID kShellId = {0x7973C591, 0x39C2, 0x42EC, {0xBD, 0x6A, 0x36, 0xBD, 0x1A, 0x98, 0x21, 0x77}};
constexpr GUID kStdOleId = {0x00020430, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr GUID kDispatchId = {0x00020400, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

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

class Bstr {
public:
    Bstr() = default;
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    ~Bstr() { SysFreeString(b_); }
    BSTR* out() { return &b_; }
    std::wstring str() const { return b_ ? std::wstring(b_, SysStringLen(b_)) : L"(none)"; }
private:
    BSTR b_ = nullptr;
};

class TypeAttr {
public:
    explicit TypeAttr(ITypeInfo* info) : info_(info) { hr_ = info->GetTypeAttr(&attr_); }
    TypeAttr(const TypeAttr&) = delete;
    TypeAttr& operator=(const TypeAttr&) = delete;
    ~TypeAttr() { if (attr_) info_->ReleaseTypeAttr(attr_); }
    bool ok() const { return SUCCEEDED(hr_) && attr_; }
    const TYPEATTR* operator->() const { return attr_; }
private:
    ITypeInfo* info_;
    TYPEATTR* attr_ = nullptr;
    HRESULT hr_;
};

class FuncDesc {
public:
    FuncDesc(ITypeInfo* info, UINT index) : info_(info) { hr_ = info->GetFuncDesc(index, &desc_); }
    FuncDesc(const FuncDesc&) = delete;
    FuncDesc& operator=(const FuncDesc&) = delete;
    ~FuncDesc() { if (desc_) info_->ReleaseFuncDesc(desc_); }
    bool ok() const { return SUCCEEDED(hr_) && desc_; }
    const FUNCDESC* operator->() const { return desc_; }
private:
    ITypeInfo* info_;
    FUNCDESC* desc_ = nullptr;
    HRESULT hr_;
};

struct Param {
    const wchar_t* name;
    VARTYPE vt;
    bool retval;  // [out, retval]: a pointer to vt
};

struct Member {
    MEMBERID id;
    INVOKEKIND kind;
    const wchar_t* name;
    std::vector<Param> params;
    const wchar_t* help;
};

const std::vector<Member>& event_members() {
    static const std::vector<Member> members = {
        {1, INVOKE_FUNC, L"Status", {{L"Msg", VT_BSTR, false}}, L"method Status"},
        {2, INVOKE_FUNC, L"Command",
         {{L"b1", VT_UI1, false}, {L"b2", VT_UI1, false}, {L"b3", VT_UI1, false},
          {L"b4", VT_UI1, false}, {L"b5", VT_UI1, false}, {L"disk", VT_UI1, false},
          {L"sector", VT_I4, false}, {L"Command", VT_BSTR, false}},
         L"method Command"},
        {3, INVOKE_FUNC, L"Debug", {{L"Msg", VT_BSTR, false}}, L"method Debug"},
        {4, INVOKE_FUNC, L"Error", {{L"number", VT_I4, false}, {L"Msg", VT_BSTR, false}},
         L"method Error"},
    };
    return members;
}

// The value of a property put has no name in a type library.
const std::vector<Member>& shell_members() {
    const auto get = INVOKE_PROPERTYGET, put = INVOKE_PROPERTYPUT, call = INVOKE_FUNC;
    static const std::vector<Member> members = {
        {1, call, L"mountDisk",
         {{L"path", VT_BSTR, false}, {L"diskid", VT_UI1, false}, {L"readOnly", VT_BOOL, false}},
         L"method mountDisk"},
        {2, call, L"unMountDisk", {{L"diskid", VT_UI1, false}}, L"method unMountDisk"},
        {3, call, L"start", {}, L"method start"},
        {4, call, L"stop", {}, L"method stop"},
        {5, get, L"isStopped", {{L"pVal", VT_BOOL, true}}, L"property isStopped"},
        {6, get, L"serialPort", {{L"pVal", VT_UI1, true}}, L"property serialPort"},
        {6, put, L"serialPort", {{nullptr, VT_UI1, false}}, L"property serialPort"},
        {7, call, L"swapDisks", {{L"diskid1", VT_UI1, false}, {L"diskid2", VT_UI1, false}},
         L"method swapDisks"},
        {8, get, L"diskPath", {{L"id", VT_UI1, false}, {L"pVal", VT_BSTR, true}},
         L"property diskPath"},
        {9, get, L"diskReadOnly", {{L"id", VT_UI1, false}, {L"pVal", VT_BOOL, true}},
         L"property diskReadOnly"},
        {10, get, L"diskSectorSize", {{L"id", VT_UI1, false}, {L"pVal", VT_I4, true}},
         L"property diskSectorSize"},
        {11, get, L"diskSectorCount", {{L"id", VT_UI1, false}, {L"pVal", VT_I4, true}},
         L"property diskSectorCount"},
        {12, call, L"createImage",
         {{L"imagePath", VT_BSTR, false}, {L"sectorCount", VT_I4, false},
          {L"sectorSize", VT_I4, false}},
         L"method createImage"},
    };
    return members;
}

// The seven members of IUnknown and IDispatch, as a loader may list them ahead of an
// interface's own in a dispatch view.
const wchar_t* const kDispatchMembers[] = {L"QueryInterface", L"AddRef", L"Release",
                                           L"GetTypeInfoCount", L"GetTypeInfo", L"GetIDsOfNames",
                                           L"Invoke"};

std::wstring member_name(ITypeInfo* info, MEMBERID id) {
    Bstr name;
    if (FAILED(info->GetDocumentation(id, name.out(), nullptr, nullptr, nullptr))) return L"(error)";
    return name.str();
}

std::wstring member_help(ITypeInfo* info, MEMBERID id) {
    Bstr help;
    if (FAILED(info->GetDocumentation(id, nullptr, help.out(), nullptr, nullptr))) return L"(error)";
    return help.str();
}

std::vector<std::wstring> member_names(ITypeInfo* info, MEMBERID id) {
    BSTR names[16] = {};
    UINT count = 0;
    std::vector<std::wstring> result;
    if (FAILED(info->GetNames(id, names, 16, &count))) return result;
    for (UINT i = 0; i < count; ++i) {
        result.emplace_back(names[i], SysStringLen(names[i]));
        SysFreeString(names[i]);
    }
    return result;
}

// GUID, name and containing library of the type an hreftype names.
struct Resolved {
    GUID guid{};
    std::wstring name;
    TYPEKIND kind = TKIND_MAX;
    GUID library{};
    UINT index = ~0u;
};

Resolved resolve(ITypeInfo* from, HREFTYPE ref) {
    Resolved r;
    ComRef<ITypeInfo> info;
    if (FAILED(from->GetRefTypeInfo(ref, info.out()))) return r;
    TypeAttr attr(info.get());
    if (attr.ok()) {
        r.guid = attr->guid;
        r.kind = attr->typekind;
    }
    r.name = member_name(info.get(), MEMBERID_NIL);
    ComRef<ITypeLib> lib;
    if (SUCCEEDED(info->GetContainingTypeLib(lib.out(), &r.index))) {
        TLIBATTR* la = nullptr;
        if (SUCCEEDED(lib->GetLibAttr(&la))) {
            r.library = la->guid;
            lib->ReleaseTLibAttr(la);
        }
    }
    return r;
}

Resolved resolve_impl(ITypeInfo* from, UINT index) {
    HREFTYPE ref = 0;
    if (FAILED(from->GetRefTypeOfImplType(index, &ref))) return {};
    return resolve(from, ref);
}

void expect_params(const FUNCDESC* f, const Member& m) {
    ASSERT_EQ(f->cParams, static_cast<SHORT>(m.params.size()))
        << "parameters of " << testing::PrintToString(m.name);
    EXPECT_EQ(f->cParamsOpt, 0);
    for (size_t i = 0; i < m.params.size(); ++i) {
        const Param& p = m.params[i];
        const ELEMDESC& e = f->lprgelemdescParam[i];
        SCOPED_TRACE(testing::Message() << "parameter " << i);
        if (p.retval) {
            ASSERT_EQ(e.tdesc.vt, VT_PTR);
            EXPECT_EQ(e.tdesc.lptdesc->vt, p.vt);
            EXPECT_EQ(e.paramdesc.wParamFlags, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL);
        } else {
            EXPECT_EQ(e.tdesc.vt, p.vt);
            EXPECT_EQ(e.paramdesc.wParamFlags, PARAMFLAG_FIN);
        }
    }
}

// Name, parameter names and help string of a member. A property put shares its DISPID with
// the get, and a loader names the get's parameters for both: only its name is checked.
void expect_names(ITypeInfo* info, const Member& m) {
    std::vector<std::wstring> expected{m.name};
    if (m.kind != INVOKE_PROPERTYPUT)
        for (const Param& p : m.params) expected.emplace_back(p.name);
    std::vector<std::wstring> names = member_names(info, m.id);
    if (m.kind == INVOKE_PROPERTYPUT && !names.empty()) names.resize(1);
    EXPECT_EQ(names, expected);
    EXPECT_EQ(member_help(info, m.id), m.help);
}

// The functions of a dispatch view, past the IUnknown/IDispatch members a loader may list first.
UINT skip_dispatch_members(ITypeInfo* info, UINT count) {
    UINT first = 0;
    while (first < count && first < 7) {
        FuncDesc f(info, first);
        if (!f.ok() || member_name(info, f->memid) != kDispatchMembers[first]) break;
        EXPECT_TRUE(f->wFuncFlags & FUNCFLAG_FRESTRICTED) << "inherited member " << first;
        ++first;
    }
    EXPECT_TRUE(first == 0 || first == 7) << "a partial IDispatch in the dispatch view";
    return first;
}

class TypeLibrary : public testing::Test {
protected:
    void SetUp() override {
        HRESULT hr = LoadTypeLibEx(g_library_path.c_str(), REGKIND_NONE, lib_.out());
        ASSERT_TRUE(SUCCEEDED(hr)) << "LoadTypeLibEx: 0x" << std::hex << hr;
    }

    // The type at an index, which must exist.
    ITypeInfo* type(UINT index) {
        if (!types_[index].get()) lib_->GetTypeInfo(index, types_[index].out());
        return types_[index].get();
    }

    // IShell as the vtable interface: the loader may present a dual as its dispatch view.
    ComRef<ITypeInfo>& shell_vtable() {
        if (!vtable_.get()) {
            ITypeInfo* shell = type(2);
            TypeAttr attr(shell);
            HREFTYPE ref = 0;
            if (attr.ok() && attr->typekind == TKIND_DISPATCH &&
                SUCCEEDED(shell->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref)))
                shell->GetRefTypeInfo(ref, vtable_.out());
            else if (attr.ok() && attr->typekind == TKIND_INTERFACE) {
                shell->AddRef();
                *vtable_.out() = shell;
            }
        }
        return vtable_;
    }

    ComRef<ITypeLib> lib_;
    ComRef<ITypeInfo> types_[3];
    ComRef<ITypeInfo> vtable_;
};

TEST_F(TypeLibrary, IsVandrel10ForWin32InEnglish) {
    TLIBATTR* attr = nullptr;
    ASSERT_TRUE(SUCCEEDED(lib_->GetLibAttr(&attr)));
    EXPECT_EQ(attr->guid, kLibId);  // all sixteen bytes
    EXPECT_EQ(attr->wMajorVerNum, 1);
    EXPECT_EQ(attr->wMinorVerNum, 0);
    EXPECT_EQ(attr->lcid, 0x409u);
    EXPECT_EQ(attr->syskind, SYS_WIN32);
    EXPECT_EQ(attr->wLibFlags & (LIBFLAG_FRESTRICTED | LIBFLAG_FCONTROL | LIBFLAG_FHIDDEN), 0);
    lib_->ReleaseTLibAttr(attr);

    Bstr name, doc;
    ASSERT_TRUE(SUCCEEDED(lib_->GetDocumentation(-1, name.out(), doc.out(), nullptr, nullptr)));
    EXPECT_EQ(name.str(), L"Vandrel");
    EXPECT_EQ(doc.str(), L"Vandrel");
}

TEST_F(TypeLibrary, HoldsEventsThenClassThenInterface) {
    ASSERT_EQ(lib_->GetTypeInfoCount(), 3u);
    const struct {
        const wchar_t* name;
        const GUID* guid;
        const wchar_t* doc;
    } expected[] = {
        {L"_IShellEvents", &kEventsId, L"_IShellEvents Interface"},
        {L"Shell", &kShellClassId, L"Shell Class"},
        {L"IShell", &kShellId, L"IShell Interface"},
    };
    for (UINT i = 0; i < 3; ++i) {
        SCOPED_TRACE(testing::Message() << "type " << i);
        Bstr name, doc;
        ASSERT_TRUE(SUCCEEDED(lib_->GetDocumentation(i, name.out(), doc.out(), nullptr, nullptr)));
        EXPECT_EQ(name.str(), expected[i].name);
        EXPECT_EQ(doc.str(), expected[i].doc);
        ASSERT_NE(type(i), nullptr);
        TypeAttr attr(type(i));
        ASSERT_TRUE(attr.ok());
        EXPECT_EQ(attr->guid, *expected[i].guid);
        ComRef<ITypeInfo> by_guid;
        EXPECT_TRUE(SUCCEEDED(lib_->GetTypeInfoOfGuid(*expected[i].guid, by_guid.out())));
    }
    TYPEKIND kind = TKIND_MAX;
    EXPECT_TRUE(SUCCEEDED(lib_->GetTypeInfoType(0, &kind)) && kind == TKIND_DISPATCH);
    EXPECT_TRUE(SUCCEEDED(lib_->GetTypeInfoType(1, &kind)) && kind == TKIND_COCLASS);
    EXPECT_TRUE(SUCCEEDED(lib_->GetTypeInfoType(2, &kind)) &&
                (kind == TKIND_DISPATCH || kind == TKIND_INTERFACE));
}

// The server compiles against the header and IID definitions widl makes from the IDL.
TEST_F(TypeLibrary, AgreesWithTheGeneratedIdentifiers) {
    EXPECT_EQ(LIBID_Vandrel, kLibId);
    EXPECT_EQ(DIID__IShellEvents, kEventsId);
    EXPECT_EQ(CLSID_Shell, kShellClassId);
    EXPECT_EQ(IID_IShell, kShellId);
}

TEST_F(TypeLibrary, FindsMembersAndTypesByName) {
    struct Lookup {
        const wchar_t* name;
        MEMBERID id;
        const GUID* owner;
    };
    const Lookup lookups[] = {
        {L"IShell", MEMBERID_NIL, &kShellId},
        {L"createImage", 12, &kShellId},
        {L"diskSectorCount", 11, &kShellId},
        {L"Status", 1, &kEventsId},
        {L"Error", 4, &kEventsId},
    };
    for (const Lookup& l : lookups) {
        SCOPED_TRACE(testing::Message() << testing::PrintToString(l.name));
        std::wstring name = l.name;
        ITypeInfo* found[2] = {};
        MEMBERID ids[2] = {};
        USHORT count = 2;
        ASSERT_TRUE(SUCCEEDED(lib_->FindName(name.data(), 0, found, ids, &count)));
        ASSERT_GE(count, 1);
        TypeAttr attr(found[0]);
        EXPECT_TRUE(attr.ok() && attr->guid == *l.owner);
        EXPECT_EQ(ids[0], l.id);
        for (USHORT i = 0; i < count; ++i) found[i]->Release();
    }
}

TEST_F(TypeLibrary, ReferencesOnlyItselfAndStdole2) {
    // Parameters are all of built-in types (checked with the members); what remains are the
    // types each type implements or derives from.
    auto visit = [](ITypeInfo* info) {
        TypeAttr attr(info);
        ASSERT_TRUE(attr.ok());
        for (UINT i = 0; i < attr->cImplTypes; ++i) {
            Resolved r = resolve_impl(info, i);
            EXPECT_TRUE(r.library == kLibId || r.library == kStdOleId)
                << testing::PrintToString(r.name) << " comes from " << testing::PrintToString(r.library);
        }
    };
    for (UINT i = 0; i < 3; ++i) visit(type(i));
    ASSERT_TRUE(shell_vtable().get());
    visit(shell_vtable().get());
}

TEST_F(TypeLibrary, EventsArePureDispatchOverIDispatch) {
    ITypeInfo* events = type(0);
    TypeAttr attr(events);
    ASSERT_TRUE(attr.ok());
    EXPECT_EQ(attr->typekind, TKIND_DISPATCH);
    EXPECT_EQ(attr->wTypeFlags, TYPEFLAG_FDISPATCHABLE);  // not dual, hidden or restricted
    ASSERT_EQ(attr->cImplTypes, 1);
    Resolved base = resolve_impl(events, 0);
    EXPECT_EQ(base.guid, kDispatchId) << "derives from " << testing::PrintToString(base.name);
    EXPECT_EQ(base.name, L"IDispatch");
    EXPECT_EQ(base.library, kStdOleId);
    HREFTYPE ref = 0;
    EXPECT_FALSE(SUCCEEDED(events->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref)))
        << "a pure dispatch interface has no vtable view";
}

TEST_F(TypeLibrary, EventsDeclareStatusCommandDebugError) {
    ITypeInfo* events = type(0);
    TypeAttr attr(events);
    ASSERT_TRUE(attr.ok());
    const UINT first = skip_dispatch_members(events, attr->cFuncs);
    const auto& members = event_members();
    ASSERT_EQ(static_cast<size_t>(attr->cFuncs - first), members.size());
    for (size_t i = 0; i < members.size(); ++i) {
        const Member& m = members[i];
        SCOPED_TRACE(testing::Message() << testing::PrintToString(m.name));
        FuncDesc f(events, first + static_cast<UINT>(i));
        ASSERT_TRUE(f.ok());
        EXPECT_EQ(f->memid, m.id);
        EXPECT_EQ(f->funckind, FUNC_DISPATCH);
        EXPECT_EQ(f->invkind, m.kind);
        EXPECT_EQ(f->wFuncFlags, 0);
        EXPECT_EQ(f->elemdescFunc.tdesc.vt, VT_HRESULT);
        expect_params(f.operator->(), m);
        expect_names(events, m);
    }
}

TEST_F(TypeLibrary, ShellClassIsCreatableWithIShellAndItsEvents) {
    ITypeInfo* shell = type(1);
    TypeAttr attr(shell);
    ASSERT_TRUE(attr.ok());
    EXPECT_EQ(attr->typekind, TKIND_COCLASS);
    EXPECT_EQ(attr->wTypeFlags, TYPEFLAG_FCANCREATE);
    ASSERT_EQ(attr->cImplTypes, 2);

    INT flags = -1;
    ASSERT_TRUE(SUCCEEDED(shell->GetImplTypeFlags(0, &flags)));
    EXPECT_EQ(flags, IMPLTYPEFLAG_FDEFAULT);
    Resolved incoming = resolve_impl(shell, 0);
    EXPECT_EQ(incoming.guid, kShellId) << "default interface " << testing::PrintToString(incoming.name);
    EXPECT_EQ(incoming.name, L"IShell");
    EXPECT_EQ(incoming.library, kLibId);
    EXPECT_EQ(incoming.index, 2u);

    ASSERT_TRUE(SUCCEEDED(shell->GetImplTypeFlags(1, &flags)));
    EXPECT_EQ(flags, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE);
    Resolved outgoing = resolve_impl(shell, 1);
    EXPECT_EQ(outgoing.guid, kEventsId) << "default source " << testing::PrintToString(outgoing.name);
    EXPECT_EQ(outgoing.library, kLibId);
    EXPECT_EQ(outgoing.index, 0u);
}

TEST_F(TypeLibrary, IShellIsDualAutomationDerivedFromIDispatch) {
    TypeAttr listed(type(2));
    ASSERT_TRUE(listed.ok());
    if (listed->typekind == TKIND_DISPATCH) {
        // Loaders hide the automation flag in the dispatch view.
        EXPECT_EQ(listed->wTypeFlags & ~TYPEFLAG_FOLEAUTOMATION, TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE);
    }
    ITypeInfo* vtable = shell_vtable().get();
    ASSERT_NE(vtable, nullptr) << "no vtable view of IShell";
    TypeAttr attr(vtable);
    ASSERT_TRUE(attr.ok());
    EXPECT_EQ(attr->typekind, TKIND_INTERFACE);
    EXPECT_EQ(attr->guid, kShellId);
    EXPECT_EQ(attr->wTypeFlags, TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE);
    EXPECT_EQ(member_help(vtable, MEMBERID_NIL), L"IShell Interface");
    ASSERT_EQ(attr->cImplTypes, 1);
    Resolved base = resolve_impl(vtable, 0);
    EXPECT_EQ(base.guid, kDispatchId) << "derives from " << testing::PrintToString(base.name);
    EXPECT_EQ(base.name, L"IDispatch");
    EXPECT_EQ(base.kind, TKIND_INTERFACE);
    EXPECT_EQ(base.library, kStdOleId);
}

TEST_F(TypeLibrary, IShellVtableHoldsItsMembersAfterIDispatch) {
    ITypeInfo* vtable = shell_vtable().get();
    ASSERT_NE(vtable, nullptr);
    TypeAttr attr(vtable);
    ASSERT_TRUE(attr.ok());
    const auto& members = shell_members();
    ASSERT_EQ(static_cast<size_t>(attr->cFuncs), members.size());

    // Offsets are in the loading process's pointers or the library's (Win32) ones; IShell's
    // first entry follows IDispatch's seven either way.
    UINT slot = 0;
    {
        FuncDesc first(vtable, 0);
        ASSERT_TRUE(first.ok());
        slot = first->oVft / 7;
        ASSERT_TRUE(first->oVft % 7 == 0 && (slot == 4 || slot == 8)) << "first offset " << first->oVft;
    }
    EXPECT_TRUE(attr->cbSizeVft == 20 * 4 || attr->cbSizeVft == 20 * 8) << attr->cbSizeVft;

    for (size_t i = 0; i < members.size(); ++i) {
        const Member& m = members[i];
        SCOPED_TRACE(testing::Message() << "entry " << i << " " << testing::PrintToString(m.name));
        FuncDesc f(vtable, static_cast<UINT>(i));
        ASSERT_TRUE(f.ok());
        EXPECT_EQ(f->memid, m.id);
        EXPECT_EQ(f->invkind, m.kind);
        EXPECT_EQ(f->funckind, FUNC_PUREVIRTUAL);
        EXPECT_EQ(f->callconv, CC_STDCALL);
        EXPECT_EQ(f->oVft, static_cast<SHORT>((7 + i) * slot));
        EXPECT_EQ(f->wFuncFlags, 0);
        EXPECT_EQ(f->elemdescFunc.tdesc.vt, VT_HRESULT);
        expect_params(f.operator->(), m);
        expect_names(vtable, m);
    }
}

// Late-bound clients find DISPIDs through the dispatch view of a dual.
TEST_F(TypeLibrary, IShellDispatchViewBindsNamesToDispids) {
    ITypeInfo* shell = type(2);
    TypeAttr attr(shell);
    ASSERT_TRUE(attr.ok());
    if (attr->typekind == TKIND_DISPATCH) {
        const UINT first = skip_dispatch_members(shell, attr->cFuncs);
        const auto& members = shell_members();
        ASSERT_EQ(static_cast<size_t>(attr->cFuncs - first), members.size());
        for (size_t i = 0; i < members.size(); ++i) {
            SCOPED_TRACE(testing::Message() << "entry " << i);
            FuncDesc f(shell, first + static_cast<UINT>(i));
            ASSERT_TRUE(f.ok());
            EXPECT_EQ(f->memid, members[i].id);
            EXPECT_EQ(f->invkind, members[i].kind);
            EXPECT_EQ(f->funckind, FUNC_DISPATCH);
            EXPECT_EQ(member_name(shell, f->memid), members[i].name);
        }
    }
    for (const Member& m : shell_members()) {
        if (m.kind == INVOKE_PROPERTYPUT) continue;
        SCOPED_TRACE(testing::PrintToString(m.name));
        std::vector<std::wstring> text{m.name};
        for (const Param& p : m.params)
            if (!p.retval) text.emplace_back(p.name);
        std::vector<LPOLESTR> names;
        for (std::wstring& t : text) names.push_back(t.data());
        std::vector<MEMBERID> ids(names.size(), -1);
        ASSERT_TRUE(SUCCEEDED(shell->GetIDsOfNames(names.data(), static_cast<UINT>(names.size()), ids.data())));
        EXPECT_EQ(ids[0], m.id);
        for (size_t k = 1; k < ids.size(); ++k) EXPECT_EQ(ids[k], static_cast<MEMBERID>(k - 1));
    }
}

// Under Wine a Unix path becomes the DOS path Wine maps it to.
std::wstring windows_path(const char* path) {
    std::wstring wide;
    for (const char* c = path; *c; ++c) wide += static_cast<wchar_t>(static_cast<unsigned char>(*c));
    if (path[0] != '/') return wide;
    using ToDos = WCHAR* (CDECL*)(const char*);
    auto to_dos = reinterpret_cast<ToDos>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32"), "wine_get_dos_file_name")));
    WCHAR* dos = to_dos ? to_dos(path) : nullptr;
    if (!dos) return wide;
    std::wstring result(dos);
    HeapFree(GetProcessHeap(), 0, dos);
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: typelib_test [gtest options] PATH.tlb\n");
        return 2;
    }
    g_library_path = windows_path(argv[1]);
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
    const int rc = RUN_ALL_TESTS();
    CoUninitialize();
    return rc;
}
