#include "TestHelpers.h"
#include "engine/DeviceMessages.h"

#include <gtest/gtest.h>

using Bytes = DeviceMessages::Bytes;

using test::identityReply;

TEST (DeviceMessages, BuildsEachMessageByteForByte)
{
    EXPECT_EQ (DeviceMessages::buildIdentityRequest(), (Bytes { 0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7 }));
    EXPECT_EQ (DeviceMessages::buildGlobalRequest (0x2E, 0x1E), (Bytes { 0xF0, 0x47, 0x00, 0x2E, 0x04, 0x02, 0x00, 0x01, 0x1E, 0xF7 }));
    EXPECT_EQ (DeviceMessages::buildPresetSelect (0x30, 31), (Bytes { 0xF0, 0x47, 0x00, 0x30, 0x04, 0x01, 0x00, 0x05, 0x03, 0x40, 0x00, 0x00, 0x1F, 0xF7 }));
    EXPECT_EQ (DeviceMessages::buildPresetEnd (0x2F), (Bytes { 0xF0, 0x47, 0x00, 0x2F, 0x04, 0x08, 0x00, 0x00, 0xF7 }));
    EXPECT_EQ (DeviceMessages::buildPresetDumpRequest (0x2E), (Bytes { 0xF0, 0x47, 0x00, 0x2E, 0x04, 0x01, 0x00, 0x05, 0x25, 0x40, 0x00, 0x00, 0x05, 0xF7 }));
    EXPECT_EQ (DeviceMessages::buildEnterUpdateMode (0x30), (Bytes { 0xF0, 0x47, 0x00, 0x30, 0x06, 0x00, 0x00, 0x01, 0x00, 0xF7 }));
}

TEST (DeviceMessages, ListsTheGlobalsInTheirOwnOrder)
{
    const std::array<juce::uint8, 14> expected { 0x12, 0x13, 0x14, 0x15, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1F, 0x20, 0x1D, 0x22, 0x1E };
    EXPECT_EQ (DeviceMessages::globalIds, expected);
}

TEST (DeviceMessages, ChoosesTheModelCodeByTheModelThenByThePortName)
{
    EXPECT_EQ (DeviceMessages::modelCodeFor (HardwareModel::morelta25, {}), std::optional<juce::uint8> (0x2F));
    EXPECT_EQ (DeviceMessages::modelCodeFor (HardwareModel::morelta49, "MORELTA49"), std::optional<juce::uint8> (0x2E));
    EXPECT_EQ (DeviceMessages::modelCodeFor (HardwareModel::morelta61, "MORELTA61"), std::optional<juce::uint8> (0x30));
    EXPECT_EQ (DeviceMessages::modelCodeFor (HardwareModel::morelta61, "MORELTA61 USB PORT 1"), std::optional<juce::uint8> (0x30));
    EXPECT_EQ (DeviceMessages::modelCodeFor (HardwareModel::unknown, "MORELTA25 USB PORT 1"), std::nullopt);
    EXPECT_EQ (DeviceMessages::modelCodeFor (HardwareModel::unknown, "Morelta49 USB Port 1"), std::nullopt);
    EXPECT_EQ (DeviceMessages::modelCodeFor (HardwareModel::unknown, {}), std::nullopt);
}

TEST (DeviceMessages, WithoutAModelCodeNoMakerMessageCanBeMade)
{
    const DeviceMessages::ModelCode none;
    EXPECT_TRUE (DeviceMessages::buildDeviceHeader (none).empty());
    EXPECT_FALSE (DeviceMessages::buildEnterUpdateMode (none).has_value());
    EXPECT_FALSE (DeviceMessages::buildPresetSelect (none, 0).has_value());
    EXPECT_FALSE (DeviceMessages::buildPresetDumpRequest (none).has_value());
    EXPECT_FALSE (DeviceMessages::buildPresetEnd (none).has_value());

    for (auto id : DeviceMessages::globalIds)
        EXPECT_FALSE (DeviceMessages::buildGlobalRequest (none, id).has_value());

    // Nor is anything recognised as the keyboard's answer.
    EXPECT_FALSE (DeviceMessages::isGlobalReply ({ 0xF0, 0x47, 0x00, 0x2E, 0x04, 0x02, 0x00, 0x05, 0x12, 1, 2, 3, 4, 0xF7 }, none));
}

TEST (DeviceMessages, RecognisesAnIdentityReplyOnlyInItsExactForm)
{
    EXPECT_TRUE (DeviceMessages::isIdentityReply (identityReply ({ 0, 1, 1, 6 })));
    EXPECT_TRUE (DeviceMessages::isIdentityReply (identityReply ({ 0, 1, 1, 6 }, 0x2F)));
    EXPECT_TRUE (DeviceMessages::isIdentityReply (identityReply ({ 0, 1, 1, 6 }, 0x30)));

    auto longer = identityReply ({ 0, 1, 1, 6 });
    longer.insert (longer.end() - 1, 0x00);
    EXPECT_FALSE (DeviceMessages::isIdentityReply (longer));
    EXPECT_FALSE (DeviceMessages::isIdentityReply (identityReply ({ 0, 1, 1, 6 }, 0x31)));
    const auto full = identityReply ({ 0, 1, 1, 6 });
    EXPECT_FALSE (DeviceMessages::isIdentityReply (Bytes (full.begin(), full.begin() + 15)));

    auto otherDevice = identityReply ({ 0, 1, 1, 6 });
    otherDevice[2] = 0x01;
    EXPECT_FALSE (DeviceMessages::isIdentityReply (otherDevice));

    auto otherMaker = identityReply ({ 0, 1, 1, 6 });
    otherMaker[5] = 0x43;
    EXPECT_FALSE (DeviceMessages::isIdentityReply (otherMaker));
}

TEST (DeviceMessages, ReadsTheVersionWithEitherMinorForm)
{
    EXPECT_EQ (DeviceMessages::versionFromIdentityReply (identityReply ({ 0, 1, 1, 6 })), 1.16);
    EXPECT_EQ (DeviceMessages::versionFromIdentityReply (identityReply ({ 0, 1, 0, 16 })), 1.16);
    EXPECT_EQ (DeviceMessages::versionFromIdentityReply (identityReply ({ 0, 1, 1, 5 })), 1.15);
    EXPECT_EQ (DeviceMessages::versionFromIdentityReply (identityReply ({ 0, 1, 2, 5 })), 1.25);
    EXPECT_EQ (DeviceMessages::versionFromIdentityReply (identityReply ({ 1, 2, 0, 3 })), 12.03);
}

TEST (DeviceMessages, AcceptsRepliesOnlyOfTheCurrentModelAndExactLength)
{
    const Bytes globalReply { 0xF0, 0x47, 0x00, 0x2E, 0x04, 0x02, 0x00, 0x05, 0x12, 1, 2, 3, 4, 0xF7 };
    EXPECT_TRUE (DeviceMessages::isGlobalReply (globalReply, 0x2E));
    EXPECT_FALSE (DeviceMessages::isGlobalReply (globalReply, 0x30));

    auto longer = globalReply;
    longer.insert (longer.end() - 1, 5);
    EXPECT_FALSE (DeviceMessages::isGlobalReply (longer, 0x2E));

    const Bytes presetData { 0xF0, 0x47, 0x00, 0x30, 0x04, 0x07, 0x00, 0x07, 0x00, 0x05, 1, 2, 3, 4, 5, 0xF7 };
    EXPECT_TRUE (DeviceMessages::isPresetData (presetData, 0x30));
    EXPECT_FALSE (DeviceMessages::isPresetData (presetData, 0x2E));
    EXPECT_FALSE (DeviceMessages::isPresetData (Bytes (presetData.begin(), presetData.end() - 1), 0x30));

    auto seventeen = presetData;
    seventeen.insert (seventeen.end() - 1, 6);
    EXPECT_FALSE (DeviceMessages::isPresetData (seventeen, 0x30));
}
