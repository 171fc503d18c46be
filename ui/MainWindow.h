#pragma once

#include "ui/MainWindowComponent.h"

/** The updater's one window, fixed in size, showing the main component. */
class MainWindow final : public juce::DocumentWindow,
                         public juce::ReferenceCountedObject
{
public:
    using Ptr = juce::ReferenceCountedObjectPtr<MainWindow>;

    /** Shows the component, centred on the screen; keys pressed anywhere in the window
        reach the component.
    */
    explicit MainWindow (MainWindowComponent::Ptr content);
    ~MainWindow() override;

    /** Goes through the application's quit guard, which asks first during an update. */
    void closeButtonPressed() override;

    MainWindowComponent& getMainComponent() noexcept { return *component; }

private:
    MainWindowComponent::Ptr component;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (MainWindow)
};
