#include <gtest/gtest.h>
#include <juce_events/juce_events.h>

int main (int argc, char** argv)
{
    // The application object under test checks that it lives in a standalone app; the
    // tests construct it themselves, so no factory is ever called.
    juce::JUCEApplicationBase::createInstance = []() -> juce::JUCEApplicationBase*
    { return nullptr; };

    // One JUCE message loop for the whole run; this thread is its message thread.
    const juce::ScopedJuceInitialiser_GUI juceInitialiser;

    testing::InitGoogleTest (&argc, argv);
    return RUN_ALL_TESTS();
}
