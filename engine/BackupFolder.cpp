#include "engine/BackupFolder.h"

#include "engine/DeviceMessages.h"

namespace
{
constexpr int numPresets = 32;
constexpr int presetDataMessages = 384;

juce::String presetFileName (int index)
{
    return "Preset_" + juce::String (index) + ".syx";
}

/** The SysEx messages a file holds back to back; nothing if anything else is in it. */
std::optional<std::vector<EngineState::Message>> readMessages (const juce::File& file)
{
    juce::MemoryBlock data;

    if (! file.existsAsFile() || ! file.loadFileAsData (data))
        return {};

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

std::optional<BackupFolder::Manifest> readManifest (const juce::File& file)
{
    const auto json = juce::JSON::parse (file.loadFileAsString());
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

    auto damaged = [&problem] (const juce::String& what) -> std::optional<BackupFolder>
    {
        problem = "This backup is damaged: " + what + ". Nothing was sent to the keyboard.";
        return {};
    };

    BackupFolder backup;
    backup.folder = folder;

    auto globals = readMessages (globalsFile);

    if (! globals.has_value() || globals->empty() || globals->front().size() < 4 || ! modelOfCode (globals->front()[3]).has_value())
        return damaged ("Globals.syx does not hold the keyboard's global settings");

    const DeviceMessages::ModelCode code = globals->front()[3];
    backup.model = *modelOfCode (*code);

    // The 14 settings, each once, each for this model.
    std::vector<juce::uint8> ids;

    for (auto& m : *globals)
    {
        const auto& known = DeviceMessages::globalIds;

        if (! DeviceMessages::isGlobalReply (m, code) || std::find (known.begin(), known.end(), m[8]) == known.end()
            || std::find (ids.begin(), ids.end(), m[8]) != ids.end())
            return damaged ("Globals.syx does not hold the keyboard's global settings");

        ids.push_back (m[8]);
    }

    if (ids.size() != DeviceMessages::globalIds.size())
        return damaged ("Globals.syx holds " + juce::String ((int) ids.size()) + " of the 14 global settings");

    backup.globals = std::move (*globals);

    for (int i = 0; i < numPresets; ++i)
    {
        const auto stream = readMessages (folder.getChildFile (presetFileName (i)));
        const auto whole = stream.has_value() && stream->size() == presetDataMessages + 2
                           && stream->front() == *DeviceMessages::buildPresetSelect (code, i)
                           && stream->back() == *DeviceMessages::buildPresetEnd (code)
                           && std::all_of (stream->begin() + 1, stream->end() - 1, [&code] (auto& m)
                                           { return DeviceMessages::isPresetData (m, code); });

        if (! whole)
            return damaged (presetFileName (i) + " does not hold a whole preset of this keyboard");

        backup.presets.push_back (std::move (*stream));
    }

    const auto manifestFile = folder.getChildFile (manifestFileName);

    if (manifestFile.existsAsFile())
    {
        backup.manifest = readManifest (manifestFile);

        if (! backup.manifest.has_value() || backup.manifest->model != backup.model)
            return damaged (juce::String (manifestFileName) + " does not describe this backup");
    }

    return backup;
}

juce::Time BackupFolder::time() const
{
    return manifest.has_value() ? manifest->time : folder.getChildFile ("Globals.syx").getLastModificationTime();
}

std::optional<BackupFolder> BackupFolder::findNewest (const juce::File& userData, int model)
{
    std::optional<BackupFolder> newest;

    if (HardwareModel::nameOf (model)[0] == 0)
        return newest;

    for (auto& child : modelFolder (userData, model).findChildFiles (juce::File::findDirectories, false))
    {
        juce::String problem;
        auto backup = read (child, problem);

        if (backup.has_value() && backup->model == model && (! newest.has_value() || backup->time() > newest->time()))
            newest = std::move (backup);
    }

    return newest;
}
