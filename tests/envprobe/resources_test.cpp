// The built envprobe.exe read back: its resources through the Windows resource and version
// APIs, and its type library through LoadTypeLibEx (widl can write broken libraries).
#include "tests/envprobe/test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <vector>

namespace {

using namespace envprobe;
using namespace envprobe_test;

// The program loaded as a data file: resources only, no code runs.
class Module {
public:
    Module() : module_(LoadLibraryExW(exePath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE)) {}
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;
    ~Module() {
        if (module_) FreeLibrary(module_);
    }
    HMODULE get() const { return module_; }

    // The bytes of one resource; empty when it is missing.
    std::vector<BYTE> resource(const wchar_t* type, const wchar_t* name) const {
        HRSRC found = FindResourceW(module_, name, type);
        if (!found) return {};
        HGLOBAL loaded = LoadResource(module_, found);
        const BYTE* data = loaded ? static_cast<const BYTE*>(LockResource(loaded)) : nullptr;
        if (!data) return {};
        return std::vector<BYTE>(data, data + SizeofResource(module_, found));
    }

private:
    HMODULE module_;
};

template <typename T>
T readAt(const std::vector<BYTE>& bytes, size_t offset) {
    T value{};
    if (offset + sizeof(T) <= bytes.size()) std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
}

// Catches a wrong length word or interface identifier in the _IID_TEST record.
TEST(EnvprobeResources, InterfaceRecordHoldsLengthAndIid) {
    Module module;
    ASSERT_TRUE(module.get());
    const std::vector<BYTE> record = module.resource(L"_IID_TEST", MAKEINTRESOURCEW(1));
    ASSERT_EQ(record.size(), 20u);
    EXPECT_EQ(readAt<DWORD>(record, 0), 16u);
    EXPECT_EQ(std::memcmp(record.data() + 4, &kIidTest, 16), 0) << "the IID's bytes as in memory";
}

// Catches a library resource that is not the one widl built (or missing).
TEST(EnvprobeResources, TypeLibraryResourceIsTheBuiltLibrary) {
    Module module;
    ASSERT_TRUE(module.get());
    const std::vector<BYTE> library = module.resource(L"TYPELIB", MAKEINTRESOURCEW(1));
    ASSERT_FALSE(library.empty());
    std::ifstream file(std::filesystem::path(tlbPath()), std::ios::binary);
    ASSERT_TRUE(file) << narrow(tlbPath());
    const std::vector<BYTE> built{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    EXPECT_EQ(library, built);
}

#pragma pack(push, 2)
struct GroupIconEntry {
    BYTE width, height, colourCount, reserved;
    WORD planes, bitCount;
    DWORD bytesInResource;
    WORD id;
};
#pragma pack(pop)

// Catches an icon group without the three images, or images whose bitmaps do not match
// their directory entries.
TEST(EnvprobeResources, IconGroupHoldsTheThreeImages) {
    Module module;
    ASSERT_TRUE(module.get());
    const std::vector<BYTE> group = module.resource(RT_GROUP_ICON, MAKEINTRESOURCEW(1));
    ASSERT_GE(group.size(), 6u);
    EXPECT_EQ(readAt<WORD>(group, 0), 0u);
    EXPECT_EQ(readAt<WORD>(group, 2), 1u) << "icon, not cursor";
    const WORD count = readAt<WORD>(group, 4);
    ASSERT_EQ(count, 3u);
    ASSERT_EQ(group.size(), 6u + count * sizeof(GroupIconEntry));

    struct Expected {
        int size, colours, bits;
    };
    const Expected expected[] = {{32, 2, 1}, {32, 16, 4}, {16, 16, 4}};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const auto entry = readAt<GroupIconEntry>(group, 6 + i * sizeof(GroupIconEntry));
        EXPECT_EQ(entry.width, expected[i].size);
        EXPECT_EQ(entry.height, expected[i].size);
        EXPECT_EQ(entry.colourCount, expected[i].colours);
        EXPECT_EQ(entry.planes, 1u);
        EXPECT_EQ(entry.bitCount, expected[i].bits);

        const std::vector<BYTE> image = module.resource(RT_ICON, MAKEINTRESOURCEW(entry.id));
        ASSERT_EQ(image.size(), entry.bytesInResource);
        const auto header = readAt<BITMAPINFOHEADER>(image, 0);
        EXPECT_EQ(header.biSize, sizeof(BITMAPINFOHEADER));
        EXPECT_EQ(header.biWidth, expected[i].size);
        EXPECT_EQ(header.biHeight, 2 * expected[i].size) << "colour and mask";
        EXPECT_EQ(header.biBitCount, expected[i].bits);
        EXPECT_EQ(header.biCompression, static_cast<DWORD>(BI_RGB));
        // Header, palette, colour rows and mask rows (each row a multiple of 32 bits).
        const size_t colourRow = (expected[i].size * expected[i].bits + 31) / 32 * 4;
        const size_t maskRow = (expected[i].size + 31) / 32 * 4;
        EXPECT_EQ(image.size(), sizeof(BITMAPINFOHEADER) + (size_t{1} << expected[i].bits) * sizeof(RGBQUAD) +
                                    expected[i].size * (colourRow + maskRow));
    }
    // What the shell does to choose an image: finds the 32x32 16-colour one.
    EXPECT_EQ(LookupIconIdFromDirectoryEx(const_cast<BYTE*>(group.data()), TRUE, 32, 32, LR_DEFAULTCOLOR),
              readAt<GroupIconEntry>(group, 6 + sizeof(GroupIconEntry)).id);
}

// One node of a version resource: length, value length, type, key, value and children.
struct VersionNode {
    std::wstring key;
    std::vector<BYTE> value;  // as stored; text values in UTF-16
    WORD valueLength = 0;     // in characters for text, bytes for binary
    WORD type = 0;            // 1: text
    std::vector<VersionNode> children;
};

size_t alignUp(size_t offset) {
    return (offset + 3) & ~size_t{3};
}

bool parseNode(const std::vector<BYTE>& bytes, size_t start, VersionNode& node) {
    const WORD length = readAt<WORD>(bytes, start);
    const size_t end = start + length;
    if (length < 6 || end > bytes.size()) return false;
    node.valueLength = readAt<WORD>(bytes, start + 2);
    node.type = readAt<WORD>(bytes, start + 4);
    size_t at = start + 6;
    while (at + 2 <= end && readAt<wchar_t>(bytes, at) != L'\0') {
        node.key += readAt<wchar_t>(bytes, at);
        at += 2;
    }
    at = alignUp(at + 2);
    const size_t valueBytes = node.type == 1 ? node.valueLength * size_t{2} : node.valueLength;
    if (at + valueBytes > end) return false;
    node.value.assign(bytes.begin() + at, bytes.begin() + at + valueBytes);
    at = alignUp(at + valueBytes);
    while (at < end) {
        VersionNode child;
        if (!parseNode(bytes, at, child)) return false;
        at = alignUp(at + readAt<WORD>(bytes, at));
        node.children.push_back(std::move(child));
    }
    return true;
}

std::wstring text(const VersionNode& node) {
    std::wstring out;
    for (size_t i = 0; i + 1 < node.value.size(); i += 2) {
        const wchar_t c = static_cast<wchar_t>(node.value[i] | node.value[i + 1] << 8);
        if (c == L'\0') break;
        out += c;
    }
    return out;
}

const std::map<std::wstring, std::wstring> kStrings = {
    {L"ProductName", L"envprobe"},     {L"FileVersion", L"1.00"},
    {L"ProductVersion", L"1.00"},      {L"InternalName", L"envprobe"},
    {L"OriginalFilename", L"envprobe.exe"}, {L"OLESelfRegister", L""},
};

// Catches a version resource with other numbers, another language or code page, a missing,
// wrong or extra string, through the structure itself.
TEST(EnvprobeResources, VersionResourceHoldsExactlyTheListedEntries) {
    Module module;
    ASSERT_TRUE(module.get());
    const std::vector<BYTE> bytes = module.resource(RT_VERSION, MAKEINTRESOURCEW(VS_VERSION_INFO));
    VersionNode root;
    ASSERT_TRUE(parseNode(bytes, 0, root)) << "malformed version resource";
    EXPECT_EQ(root.key, L"VS_VERSION_INFO");
    ASSERT_EQ(root.value.size(), sizeof(VS_FIXEDFILEINFO));

    std::map<std::wstring, const VersionNode*> blocks;
    for (const VersionNode& child : root.children) blocks[child.key] = &child;
    ASSERT_EQ(blocks.size(), 2u);
    ASSERT_TRUE(blocks.count(L"StringFileInfo") && blocks.count(L"VarFileInfo"));

    const VersionNode& strings = *blocks[L"StringFileInfo"];
    ASSERT_EQ(strings.children.size(), 1u) << "one string table";
    const VersionNode& table = strings.children[0];
    EXPECT_TRUE(sameTextIgnoringCase(table.key, L"040904B0")) << narrow(table.key);
    std::map<std::wstring, std::wstring> found;
    for (const VersionNode& entry : table.children) {
        EXPECT_EQ(entry.type, 1u) << narrow(entry.key);
        found[entry.key] = text(entry);
    }
    EXPECT_EQ(found, kStrings);

    const VersionNode& variables = *blocks[L"VarFileInfo"];
    ASSERT_EQ(variables.children.size(), 1u);
    EXPECT_EQ(variables.children[0].key, L"Translation");
    EXPECT_EQ(variables.children[0].value, (std::vector<BYTE>{0x09, 0x04, 0xB0, 0x04})) << "0x0409, 1200";
}

// Catches what a client of the version API would see differently: the fixed numbers, the
// translation and each string, looked up as installers do.
TEST(EnvprobeResources, VersionApiReadsTheListedValues) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(exePath().c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(exePath().c_str(), 0, size, info.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0u);
    EXPECT_EQ(fixed->dwFileOS, static_cast<DWORD>(VOS__WINDOWS32));
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
    EXPECT_EQ(fixed->dwFileFlags & fixed->dwFileFlagsMask, 0u);

    WORD* translation = nullptr;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation",
                               reinterpret_cast<void**>(&translation), &length));
    ASSERT_EQ(length, 4u);
    EXPECT_EQ(translation[0], 0x0409);
    EXPECT_EQ(translation[1], 1200);

    for (const auto& [name, expected] : kStrings) {
        SCOPED_TRACE(narrow(name));
        const std::wstring path = L"\\StringFileInfo\\040904B0\\" + name;
        wchar_t* value = nullptr;
        length = 0;
        // The empty OLESelfRegister entry too: it is what marks the file self-registering.
        ASSERT_TRUE(VerQueryValueW(info.data(), path.c_str(), reinterpret_cast<void**>(&value), &length))
            << "missing";
        ASSERT_TRUE(value);
        EXPECT_EQ(length, expected.size() + 1) << "characters with the terminating null";
        EXPECT_EQ(std::wstring(value), expected);
    }
}

class EnvprobeTypeLibrary : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_HRESULT_SUCCEEDED(apartment_.result());
        // REGKIND_NONE: LoadTypeLib would register the library.
        ASSERT_HRESULT_SUCCEEDED(LoadTypeLibEx(exePath().c_str(), REGKIND_NONE, library_.put()));
    }

    ComApartment apartment_{COINIT_APARTMENTTHREADED};
    ComPtr<ITypeLib> library_;
};

// Owns a TYPEATTR (or FUNCDESC) of one ITypeInfo.
class TypeAttr {
public:
    explicit TypeAttr(ITypeInfo* info) : info_(info) {
        if (FAILED(info_->GetTypeAttr(&attr_))) attr_ = nullptr;
    }
    TypeAttr(const TypeAttr&) = delete;
    TypeAttr& operator=(const TypeAttr&) = delete;
    ~TypeAttr() {
        if (attr_) info_->ReleaseTypeAttr(attr_);
    }
    const TYPEATTR* operator->() const { return attr_; }
    explicit operator bool() const { return attr_ != nullptr; }

private:
    ITypeInfo* info_;
    TYPEATTR* attr_ = nullptr;
};

class FuncDesc {
public:
    FuncDesc(ITypeInfo* info, UINT index) : info_(info) {
        if (FAILED(info_->GetFuncDesc(index, &desc_))) desc_ = nullptr;
    }
    FuncDesc(const FuncDesc&) = delete;
    FuncDesc& operator=(const FuncDesc&) = delete;
    ~FuncDesc() {
        if (desc_) info_->ReleaseFuncDesc(desc_);
    }
    const FUNCDESC* operator->() const { return desc_; }
    explicit operator bool() const { return desc_ != nullptr; }

private:
    ITypeInfo* info_;
    FUNCDESC* desc_ = nullptr;
};

std::wstring nameOf(ITypeInfo* info, MEMBERID member) {
    Bstr name;
    if (FAILED(info->GetDocumentation(member, name.put(), nullptr, nullptr, nullptr)) || !name.get())
        return {};
    return name.get();
}

// Catches a damaged LIBID (widl's known fault), another version, locale or platform, types
// out of order, and help strings or a help file that the library must not have.
TEST_F(EnvprobeTypeLibrary, IdentityAndTypeOrder) {
    TLIBATTR* attributes = nullptr;
    ASSERT_HRESULT_SUCCEEDED(library_->GetLibAttr(&attributes));
    EXPECT_TRUE(IsEqualGUID(attributes->guid, kLibid));
    EXPECT_EQ(attributes->wMajorVerNum, 2);
    EXPECT_EQ(attributes->wMinorVerNum, 0);
    EXPECT_EQ(attributes->lcid, 0u);
    EXPECT_EQ(attributes->syskind, sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32);
    library_->ReleaseTLibAttr(attributes);

    Bstr name, doc, helpFile;
    ASSERT_HRESULT_SUCCEEDED(library_->GetDocumentation(-1, name.put(), doc.put(), nullptr, helpFile.put()));
    EXPECT_STREQ(name.get(), L"envprobe");
    EXPECT_EQ(SysStringLen(doc.get()), 0u) << "no help string";
    EXPECT_EQ(SysStringLen(helpFile.get()), 0u) << "no help file";
    // The types in their recorded order: _Test, then Test.
    ASSERT_EQ(library_->GetTypeInfoCount(), 2u);
    const struct {
        const wchar_t* name;
        TYPEKIND kind;
    } types[] = {{L"_Test", TKIND_DISPATCH}, {L"Test", TKIND_COCLASS}};
    for (UINT i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        Bstr typeName, typeDoc;
        ASSERT_HRESULT_SUCCEEDED(
            library_->GetDocumentation(i, typeName.put(), typeDoc.put(), nullptr, nullptr));
        EXPECT_STREQ(typeName.get(), types[i].name);
        EXPECT_EQ(SysStringLen(typeDoc.get()), 0u) << "no help string";
        TYPEKIND kind = TKIND_MAX;
        ASSERT_HRESULT_SUCCEEDED(library_->GetTypeInfoType(i, &kind));
        EXPECT_EQ(kind, types[i].kind);
    }
}

// Catches _Test losing its flags, its base, its DISPID or its BSTR result, in either of the
// two views a dual interface has (dispatch for scripts, vtable for the marshaler).
TEST_F(EnvprobeTypeLibrary, TestInterfaceIsDualHiddenNonextensible) {
    ComPtr<ITypeInfo> dispatch;
    ASSERT_HRESULT_SUCCEEDED(library_->GetTypeInfoOfGuid(kIidTest, dispatch.put()));
    EXPECT_EQ(nameOf(dispatch.get(), MEMBERID_NIL), L"_Test");
    {
        TypeAttr attr(dispatch.get());
        ASSERT_TRUE(attr);
        EXPECT_EQ(attr->typekind, TKIND_DISPATCH);
        const WORD flags =
            TYPEFLAG_FDUAL | TYPEFLAG_FHIDDEN | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FDISPATCHABLE;
        EXPECT_EQ(attr->wTypeFlags & flags, flags) << std::hex << attr->wTypeFlags;
        EXPECT_EQ(attr->cFuncs, 8) << "the seven IUnknown and IDispatch entries and TestIt";
        EXPECT_EQ(attr->cVars, 0);
    }
    // TestIt in the dispatch view: a method with no parameters that gives a BSTR.
    bool seen = false;
    for (UINT i = 0; i < 8; ++i) {
        FuncDesc func(dispatch.get(), i);
        ASSERT_TRUE(func);
        if (func->memid != kTestItDispId) continue;
        seen = true;
        EXPECT_EQ(nameOf(dispatch.get(), func->memid), L"TestIt");
        EXPECT_EQ(func->invkind, INVOKE_FUNC);
        EXPECT_EQ(func->cParams, 0);
        EXPECT_EQ(func->elemdescFunc.tdesc.vt, VT_BSTR);
    }
    EXPECT_TRUE(seen) << "no member with DISPID 0x60030000";

    // The vtable view: derived from IDispatch, TestIt after its seven entries.
    HREFTYPE vtableRef = 0;
    ASSERT_HRESULT_SUCCEEDED(dispatch->GetRefTypeOfImplType(-1, &vtableRef));
    ComPtr<ITypeInfo> vtable;
    ASSERT_HRESULT_SUCCEEDED(dispatch->GetRefTypeInfo(vtableRef, vtable.put()));
    {
        TypeAttr attr(vtable.get());
        ASSERT_TRUE(attr);
        EXPECT_EQ(attr->typekind, TKIND_INTERFACE);
        EXPECT_TRUE(IsEqualGUID(attr->guid, kIidTest));
        const WORD flags =
            TYPEFLAG_FDUAL | TYPEFLAG_FHIDDEN | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FOLEAUTOMATION;
        EXPECT_EQ(attr->wTypeFlags & flags, flags) << std::hex << attr->wTypeFlags;
        EXPECT_EQ(attr->cFuncs, 1);
        EXPECT_EQ(attr->cImplTypes, 1);
    }
    HREFTYPE baseRef = 0;
    ASSERT_HRESULT_SUCCEEDED(vtable->GetRefTypeOfImplType(0, &baseRef));
    ComPtr<ITypeInfo> base;
    ASSERT_HRESULT_SUCCEEDED(vtable->GetRefTypeInfo(baseRef, base.put()));
    {
        TypeAttr attr(base.get());
        ASSERT_TRUE(attr);
        EXPECT_TRUE(IsEqualGUID(attr->guid, IID_IDispatch)) << "the base must be IDispatch";
    }
    FuncDesc func(vtable.get(), 0);
    ASSERT_TRUE(func);
    EXPECT_EQ(func->memid, kTestItDispId);
    EXPECT_EQ(nameOf(vtable.get(), func->memid), L"TestIt");
    EXPECT_EQ(func->funckind, FUNC_PUREVIRTUAL);
    EXPECT_EQ(func->oVft, static_cast<SHORT>(7 * sizeof(void*)));
    EXPECT_EQ(func->elemdescFunc.tdesc.vt, VT_HRESULT);
    ASSERT_EQ(func->cParams, 1);
    const ELEMDESC& result = func->lprgelemdescParam[0];
    ASSERT_EQ(result.tdesc.vt, VT_PTR);
    ASSERT_TRUE(result.tdesc.lptdesc);
    EXPECT_EQ(result.tdesc.lptdesc->vt, VT_BSTR);
    const USHORT outRetval = PARAMFLAG_FOUT | PARAMFLAG_FRETVAL;
    EXPECT_EQ(result.paramdesc.wParamFlags & outRetval, outRetval);
}

// Catches a class that cannot be created, has another default interface, or an event source.
TEST_F(EnvprobeTypeLibrary, TestClassIsCreatableWithTestAsDefault) {
    ComPtr<ITypeInfo> coclass;
    ASSERT_HRESULT_SUCCEEDED(library_->GetTypeInfoOfGuid(kClsidTest, coclass.put()));
    EXPECT_EQ(nameOf(coclass.get(), MEMBERID_NIL), L"Test");
    {
        TypeAttr attr(coclass.get());
        ASSERT_TRUE(attr);
        EXPECT_EQ(attr->typekind, TKIND_COCLASS);
        EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FCANCREATE);
        ASSERT_EQ(attr->cImplTypes, 1) << "no event interface";
    }
    INT flags = 0;
    ASSERT_HRESULT_SUCCEEDED(coclass->GetImplTypeFlags(0, &flags));
    EXPECT_EQ(flags, IMPLTYPEFLAG_FDEFAULT);
    HREFTYPE ref = 0;
    ASSERT_HRESULT_SUCCEEDED(coclass->GetRefTypeOfImplType(0, &ref));
    ComPtr<ITypeInfo> implemented;
    ASSERT_HRESULT_SUCCEEDED(coclass->GetRefTypeInfo(ref, implemented.put()));
    TypeAttr attr(implemented.get());
    ASSERT_TRUE(attr);
    EXPECT_TRUE(IsEqualGUID(attr->guid, kIidTest));
}

}  // namespace
