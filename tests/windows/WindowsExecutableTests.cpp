// The Windows resources of the built updater, read from the .exe with Windows' own
// resource and version functions.

#include <juce_core/juce_core.h>

#include <gtest/gtest.h>

#include <windows.h>

namespace
{
// The resource types by number: without UNICODE, windows.h spells them as narrow strings.
const auto iconType = MAKEINTRESOURCEW (3);
const auto iconGroupType = MAKEINTRESOURCEW (14);
const auto manifestType = MAKEINTRESOURCEW (24);

juce::File updaterExecutable()
{
    return juce::File::getSpecialLocation (juce::File::currentExecutableFile)
        .getParentDirectory()
        .getChildFile (MORELTA_UPDATER_FROM_TESTS);
}

/** The updater loaded as data: its resources, none of its code. */
class ExecutableResources
{
public:
    ExecutableResources()
        : module (LoadLibraryExW (updaterExecutable().getFullPathName().toWideCharPointer(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE))
    {
    }

    ~ExecutableResources()
    {
        if (module != nullptr)
            FreeLibrary (module);
    }

    bool isLoaded() const { return module != nullptr; }

    juce::MemoryBlock find (LPCWSTR name, LPCWSTR type) const
    {
        if (auto* info = FindResourceW (module, name, type))
            if (auto* handle = LoadResource (module, info))
                return { LockResource (handle), (size_t) SizeofResource (module, info) };

        return {};
    }

    juce::StringArray namesOf (LPCWSTR type) const
    {
        juce::StringArray names;
        EnumResourceNamesW (
            module,
            type,
            [] (HMODULE, LPCWSTR, LPWSTR name, LONG_PTR list) -> BOOL
            {
                auto& result = *reinterpret_cast<juce::StringArray*> (list);
                result.add (IS_INTRESOURCE (name) ? "#" + juce::String ((int) (ULONG_PTR) name) : juce::String (name));
                return TRUE; },
            reinterpret_cast<LONG_PTR> (&names));
        return names;
    }

private:
    HMODULE module;
    JUCE_DECLARE_NON_COPYABLE (ExecutableResources)
};

/** Width and height of an icon image as it is stored: a PNG, or a DIB of twice the height
    (the colour bitmap over the mask).
*/
std::pair<int, int> iconImageSize (const juce::MemoryBlock& image, int& bitsPerPixel)
{
    const auto* bytes = static_cast<const juce::uint8*> (image.getData());

    if (image.getSize() >= 26 && memcmp (bytes, "\x89PNG", 4) == 0)
    {
        bitsPerPixel = bytes[24] * (bytes[25] == 6 ? 4 : bytes[25] == 2 ? 3
                                                                        : 1);
        return { (int) juce::ByteOrder::bigEndianInt (bytes + 16), (int) juce::ByteOrder::bigEndianInt (bytes + 20) };
    }

    if (image.getSize() >= sizeof (BITMAPINFOHEADER))
    {
        BITMAPINFOHEADER header;
        memcpy (&header, bytes, sizeof (header));
        bitsPerPixel = header.biBitCount;
        return { header.biWidth, header.biHeight / 2 };
    }

    return {};
}

const juce::XmlElement* childAt (const juce::XmlElement* element, std::initializer_list<const char*> path)
{
    for (auto* name : path)
        element = element != nullptr ? element->getChildByName (name) : nullptr;

    return element;
}
} // namespace

TEST (WindowsExecutable, HasTwoIconGroupsEachWith16To256PixelImagesOf32Bits)
{
    ExecutableResources exe;
    ASSERT_TRUE (exe.isLoaded()) << updaterExecutable().getFullPathName();

    // Only ours: JUCE's own icon would bring a second pair.
    EXPECT_EQ (exe.namesOf (iconGroupType), juce::StringArray ("IDI_ICON1", "IDI_ICON2"));

    for (auto* group : { L"IDI_ICON1", L"IDI_ICON2" })
    {
        SCOPED_TRACE (juce::String (group).toStdString());
        const auto directory = exe.find (group, iconGroupType);
        ASSERT_GE (directory.getSize(), 6u);

        // GRPICONDIR: reserved, type 1 (icon), count; then 14-byte entries.
        const auto* bytes = static_cast<const juce::uint8*> (directory.getData());
        const int count = juce::ByteOrder::littleEndianShort (bytes + 4);
        ASSERT_EQ (juce::ByteOrder::littleEndianShort (bytes + 2), 1);
        ASSERT_EQ (directory.getSize(), 6u + 14u * (size_t) count);

        std::vector<int> sizes;

        for (int i = 0; i < count; ++i)
        {
            const auto* entry = bytes + 6 + 14 * i;
            const int width = entry[0] == 0 ? 256 : entry[0];
            const int height = entry[1] == 0 ? 256 : entry[1];
            const int bits = juce::ByteOrder::littleEndianShort (entry + 6);
            const auto imageId = juce::ByteOrder::littleEndianShort (entry + 12);

            EXPECT_EQ (width, height);
            EXPECT_EQ (bits, 32) << width;

            // The image the entry points to is there and has the size the entry says.
            const auto image = exe.find (MAKEINTRESOURCEW (imageId), iconType);
            EXPECT_EQ (image.getSize(), (size_t) juce::ByteOrder::littleEndianInt (entry + 8)) << width;
            int storedBits = 0;
            EXPECT_EQ (iconImageSize (image, storedBits), std::make_pair (width, height));
            EXPECT_EQ (storedBits, 32) << width;
            sizes.push_back (width);
        }

        std::sort (sizes.begin(), sizes.end());
        EXPECT_EQ (sizes, (std::vector<int> { 16, 32, 48, 256 }));
    }
}

TEST (WindowsExecutable, VersionRecordNamesTheUpdaterAndVersion1_0_10)
{
    const auto path = updaterExecutable().getFullPathName();
    DWORD ignored = 0;
    const auto size = GetFileVersionInfoSizeW (path.toWideCharPointer(), &ignored);
    ASSERT_GT (size, 0u);

    juce::HeapBlock<char> info (size, true);
    ASSERT_TRUE (GetFileVersionInfoW (path.toWideCharPointer(), 0, size, info));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE (VerQueryValueW (info, L"\\", reinterpret_cast<void**> (&fixed), &length));
    EXPECT_EQ (fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ (fixed->dwFileVersionMS, MAKELONG (0, 1));  // 1.0
    EXPECT_EQ (fixed->dwFileVersionLS, MAKELONG (0, 10)); // 10.0

    struct Translation
    {
        WORD language, codePage;
    }* translation = nullptr;
    ASSERT_TRUE (VerQueryValueW (info, L"\\VarFileInfo\\Translation", reinterpret_cast<void**> (&translation), &length));
    ASSERT_GE (length, sizeof (Translation));

    const auto block = "\\StringFileInfo\\" + juce::String::toHexString ((int) translation->language).paddedLeft ('0', 4)
                       + juce::String::toHexString ((int) translation->codePage).paddedLeft ('0', 4) + "\\";

    const std::pair<const char*, const char*> strings[] = {
        { "FileVersion", "1.0.10" },
        { "ProductVersion", "1.0.10" },
        { "FileDescription", "MORELTA Firmware Updater" },
        { "ProductName", "MORELTA Firmware Updater" },
    };

    for (auto& [name, expected] : strings)
    {
        wchar_t* value = nullptr;
        ASSERT_TRUE (VerQueryValueW (info, (block + name).toWideCharPointer(), reinterpret_cast<void**> (&value), &length)) << name;
        EXPECT_EQ (juce::String (value), expected) << name;
    }
}

TEST (WindowsExecutable, ManifestAsksForTheInvokersRightsAndCommonControls6)
{
    ExecutableResources exe;
    ASSERT_TRUE (exe.isLoaded());

    const auto manifest = exe.find (MAKEINTRESOURCEW (1), manifestType);
    const auto xml = juce::parseXML (manifest.toString());
    ASSERT_NE (xml, nullptr);

    const auto* level = childAt (xml.get(), { "trustInfo", "security", "requestedPrivileges", "requestedExecutionLevel" });
    ASSERT_NE (level, nullptr);
    EXPECT_EQ (level->getStringAttribute ("level"), "asInvoker");
    EXPECT_EQ (level->getStringAttribute ("uiAccess"), "false");

    // Without it a mingw build of JUCE shows its non-modal alerts as task-modal boxes.
    const auto* identity = childAt (xml.get(), { "dependency", "dependentAssembly", "assemblyIdentity" });
    ASSERT_NE (identity, nullptr);
    EXPECT_EQ (identity->getStringAttribute ("name"), "Microsoft.Windows.Common-Controls");
    EXPECT_EQ (identity->getStringAttribute ("version"), "6.0.0.0");
    EXPECT_EQ (identity->getStringAttribute ("type"), "win32");
    EXPECT_EQ (identity->getStringAttribute ("publicKeyToken"), "6595b64144ccf1df");
}
