#include "engine/BackupFolder.h"

#include "engine/DeviceMessages.h"

#include <filesystem>

namespace
{
constexpr int numPresets = DeviceMessages::numPresets;
constexpr int presetDataMessages = DeviceMessages::presetDataMessages;

juce::String presetFileName (int index)
{
    return "Preset_" + juce::String (index) + ".syx";
}

// The largest each file can be: the reader takes exactly 14 Global Replies of 14 bytes
// and a preset's Preset Select, 384 Preset Data of 16 bytes and Preset End. Nothing
// bigger is ever read, so a file that never ends (a link to a device) cannot exhaust
// memory.
constexpr juce::int64 maxGlobalsBytes = DeviceMessages::numGlobals * DeviceMessages::globalReplySize;
constexpr juce::int64 maxPresetBytes = 14 + presetDataMessages * DeviceMessages::presetDataSize + 9;
constexpr juce::int64 maxManifestBytes = 4096;

std::filesystem::path pathOf (const juce::File& file)
{
#if JUCE_WINDOWS
    return file.getFullPathName().toWideCharPointer();
#else
    return file.getFullPathName().toRawUTF8();
#endif
}

/** Whether this is an ordinary file, links followed: a device, a FIFO or a folder could
    block the reader or never end.
*/
bool isRegularFile (const juce::File& file)
{
    std::error_code error;
    return std::filesystem::is_regular_file (pathOf (file), error) && ! error;
}

/** A backup file's bytes, at most maxBytes of them; nothing, and why, otherwise. */
std::optional<juce::MemoryBlock> readFile (const juce::File& file, juce::int64 maxBytes, juce::String& why)
{
    if (! isRegularFile (file))
    {
        why = file.getFileName() + " is not a file";
        return {};
    }

    juce::FileInputStream in (file);

    if (in.failedToOpen())
    {
        why = file.getFileName() + " cannot be read";
        return {};
    }

    juce::MemoryBlock data;

    if (in.readIntoMemoryBlock (data, (ssize_t) maxBytes + 1) > (size_t) maxBytes)
    {
        why = file.getFileName() + " is larger than such a file can be";
        return {};
    }

    if (in.getStatus().failed())
    {
        why = file.getFileName() + " cannot be read";
        return {};
    }

    return data;
}

/** The SysEx messages a file holds back to back; nothing if anything else is in it. */
std::optional<std::vector<EngineState::Message>> readMessages (const juce::MemoryBlock& data)
{
    std::vector<EngineState::Message> messages;
    const auto* bytes = static_cast<const juce::uint8*> (data.getData());

    for (size_t i = 0; i < data.getSize(); ++i)
    {
        const auto b = bytes[i];

        if (b == 0xF0)
        {
            if (! messages.empty() && messages.back().back() != 0xF7)
                return {};

            messages.emplace_back();
        }
        else if (messages.empty() || messages.back().back() == 0xF7 || (b > 0x7F && b != 0xF7))
            return {};

        messages.back().push_back (b);
    }

    if (messages.empty() || messages.back().back() != 0xF7)
        return {};

    return messages;
}

std::optional<int> modelOfCode (juce::uint8 code)
{
    for (int model = HardwareModel::morelta25; model <= HardwareModel::morelta61; ++model)
        if (DeviceMessages::modelCodeFor (model, HardwareModel::nameOf (model)) == code)
            return model;

    return {};
}

std::optional<int> modelNamed (const juce::String& name)
{
    for (int model = HardwareModel::morelta25; model <= HardwareModel::morelta61; ++model)
        if (name == HardwareModel::nameOf (model))
            return model;

    return {};
}

std::optional<BackupFolder::Manifest> readManifest (const juce::MemoryBlock& text)
{
    if (! juce::CharPointer_UTF8::isValidString (static_cast<const char*> (text.getData()), (int) text.getSize()))
        return {};

    const auto json = juce::JSON::parse (text.toString());
    const auto model = modelNamed (json["model"].toString());
    const auto version = json["firmwareVersion"].toString();
    const auto time = juce::Time::fromISO8601 (json["time"].toString());

    if (! json.isObject() || ! model.has_value() || ! version.containsOnly ("0123456789.") || version.isEmpty() || time.toMilliseconds() == 0)
        return {};

    return BackupFolder::Manifest { *model, version.getDoubleValue(), time, json["updaterVersion"].toString() };
}

bool append (const juce::File& file, const std::vector<EngineState::Message>& messages)
{
    if (! file.create().wasOk())
        return false;

    const auto sizeBefore = file.getSize();
    juce::int64 bytes = 0;

    {
        juce::FileOutputStream out (file);

        if (out.failedToOpen())
            return false;

        for (auto& m : messages)
        {
            if (! out.write (m.data(), m.size()))
                return false;

            bytes += (juce::int64) m.size();
        }

        out.flush();

        if (out.getStatus().failed())
            return false;
    }

    return file.getSize() == sizeBefore + bytes;
}
/** The 14 settings of Globals.syx, each once, each of one model, which the backup is of;
    why not, when they are not.
*/
juce::String readGlobals (const juce::File& file, BackupFolder& backup)
{
    juce::String why;
    const auto data = readFile (file, maxGlobalsBytes, why);

    if (! data.has_value())
        return why;

    auto globals = readMessages (*data);
    const juce::String notGlobals ("Globals.syx does not hold the keyboard's global settings");

    if (! globals.has_value() || globals->empty() || globals->front().size() < 4 || ! modelOfCode (globals->front()[3]).has_value())
        return notGlobals;

    const DeviceMessages::ModelCode code = globals->front()[3];
    const auto& known = DeviceMessages::globalIds;
    std::vector<juce::uint8> ids;

    for (auto& m : *globals)
    {
        if (! DeviceMessages::isGlobalReply (m, code) || std::find (known.begin(), known.end(), m[8]) == known.end()
            || std::find (ids.begin(), ids.end(), m[8]) != ids.end())
            return notGlobals;

        ids.push_back (m[8]);
    }

    if (ids.size() != known.size())
        return "Globals.syx holds " + juce::String ((int) ids.size()) + " of the 14 global settings";

    backup.model = *modelOfCode (*code);
    backup.globals = std::move (*globals);
    return {};
}

/** Each preset's file: its Preset Select, its Preset Data and its Preset End, of the
    model of the settings; why not, for the first that is not.
*/
juce::String readPresets (const juce::File& folder, BackupFolder& backup)
{
    const DeviceMessages::ModelCode code = backup.globals.front()[3];
    juce::String why;

    for (int i = 0; i < numPresets; ++i)
    {
        const auto data = readFile (folder.getChildFile (presetFileName (i)), maxPresetBytes, why);

        if (! data.has_value())
            return why;

        auto stream = readMessages (*data);
        const auto whole = stream.has_value() && stream->size() == (size_t) DeviceMessages::presetStreamMessages
                           && stream->front() == *DeviceMessages::buildPresetSelect (code, i)
                           && stream->back() == *DeviceMessages::buildPresetEnd (code)
                           && std::all_of (stream->begin() + 1, stream->end() - 1, [&code] (auto& m)
                                           { return DeviceMessages::isPresetData (m, code); });

        if (! whole)
            return presetFileName (i) + " does not hold a whole preset of this keyboard";

        backup.presets.push_back (std::move (*stream));
    }

    return {};
}

/** The manifest, where there is one, which must describe the backup. */
juce::String readManifestOf (const juce::File& file, BackupFolder& backup)
{
    if (! file.exists())
        return {};

    juce::String why;
    const auto text = readFile (file, maxManifestBytes, why);

    if (! text.has_value())
        return why;

    backup.manifest = readManifest (*text);

    if (! backup.manifest.has_value() || backup.manifest->model != backup.model)
        return juce::String (BackupFolder::manifestFileName) + " does not describe this backup";

    return {};
}
} // namespace

//==============================================================================
juce::File BackupFolder::modelFolder (const juce::File& userData, int model)
{
    const auto folder = userData.getChildFile ("Ivra Professional");
    const juce::String name (HardwareModel::nameOf (model));
    return name.isEmpty() ? folder : folder.getChildFile (name);
}

juce::String BackupFolder::folderName (juce::Time time)
{
    return time.toString (true, true, true, false).removeCharacters (":");
}

juce::File BackupFolder::createNew (const juce::File& userData, int model, juce::Time time)
{
    const auto parent = modelFolder (userData, model);
    const auto name = folderName (time);

    if (! parent.createDirectory().wasOk())
        return {};

    // Creating a folder that exists fails, so the one made here is this backup's alone.
    for (int n = 1; n <= 1000; ++n)
    {
        const auto folder = parent.getChildFile (n == 1 ? name : name + " (" + juce::String (n) + ")");
        std::error_code error;

        if (std::filesystem::create_directory (pathOf (folder), error))
            return folder;

        if (error)
            return {};
    }

    return {};
}

bool BackupFolder::write (const juce::File& folder,
                          const std::vector<EngineState::Message>& globals,
                          const std::vector<std::vector<EngineState::Message>>& presets,
                          const Manifest& manifest)
{
    if (folder == juce::File() || ! append (folder.getChildFile ("Globals.syx"), globals))
        return false;

    for (size_t i = 0; i < presets.size(); ++i)
        if (! append (folder.getChildFile (presetFileName ((int) i)), presets[i]))
            return false;

    auto json = std::make_unique<juce::DynamicObject>();
    json->setProperty ("model", HardwareModel::nameOf (manifest.model));
    json->setProperty ("firmwareVersion", juce::String (manifest.firmwareVersion, 2));
    json->setProperty ("time", manifest.time.toISO8601 (true));
    json->setProperty ("updaterVersion", manifest.updaterVersion);

    return folder.getChildFile (manifestFileName).replaceWithText (juce::JSON::toString (juce::var (json.release())));
}

std::optional<BackupFolder> BackupFolder::read (const juce::File& folder, juce::String& problem)
{
    const auto globalsFile = folder.getChildFile ("Globals.syx");

    if (! folder.isDirectory() || ! globalsFile.existsAsFile())
    {
        problem = "This is not a backup of a MORELTA keyboard: a backup is a folder that holds Globals.syx and the files Preset_0.syx to Preset_31.syx.";
        return {};
    }

    BackupFolder backup;
    backup.folder = folder;
    auto why = readGlobals (globalsFile, backup);

    if (why.isEmpty())
        why = readPresets (folder, backup);

    if (why.isEmpty())
        why = readManifestOf (folder.getChildFile (manifestFileName), backup);

    if (why.isNotEmpty())
    {
        problem = "This backup is damaged: " + why + ". Nothing was sent to the keyboard.";
        return {};
    }

    return backup;
}

juce::Time BackupFolder::time() const
{
    return manifest.has_value() ? manifest->time : folder.getChildFile ("Globals.syx").getLastModificationTime();
}

std::optional<BackupFolder> BackupFolder::findNewest (const juce::File& userData, int model, std::function<bool (const juce::File&)> only)
{
    std::optional<BackupFolder> newest;

    if (HardwareModel::nameOf (model)[0] == 0)
        return newest;

    // Newest first by the folders' own times, and only so many of them: a model folder
    // that holds thousands of folders must not keep the updater reading for minutes.
    auto children = modelFolder (userData, model).findChildFiles (juce::File::findDirectories, false);
    std::sort (children.begin(), children.end(), [] (const juce::File& a, const juce::File& b)
               { return a.getLastModificationTime() > b.getLastModificationTime(); });

    for (int i = 0; i < juce::jmin (children.size(), maxFoldersSearched); ++i)
    {
        if (only != nullptr && ! only (children.getReference (i)))
            continue;

        juce::String problem;
        auto backup = read (children.getReference (i), problem);

        if (backup.has_value() && backup->model == model && (! newest.has_value() || backup->time() > newest->time()))
            newest = std::move (backup);
    }

    return newest;
}
