#include "ui/MainWindow.h"

namespace
{
// Without a display JUCE cannot make a native window (on Linux it crashes trying): the
// window then stays off the desktop, a component like any other.
bool hasDisplay()
{
    return ! juce::Desktop::getInstance().getDisplays().displays.isEmpty();
}
} // namespace

MainWindow::MainWindow (MainWindowComponent::Ptr content)
    : juce::DocumentWindow ("MORELTA Firmware Updater", juce::Colour (0xFFD3D3D3), juce::DocumentWindow::closeButton, hasDisplay())
    , component (std::move (content))
{
    setUsingNativeTitleBar (true);
    setContentNonOwned (component.get(), true);
    setVisible (true);

    if (isOnDesktop())
        centreWithSize (getWidth(), getHeight());

    addKeyListener (component.get());
}

MainWindow::~MainWindow()
{
    removeKeyListener (component.get());
    clearContentComponent();
}

void MainWindow::closeButtonPressed()
{
    if (auto* app = juce::JUCEApplication::getInstance())
        app->systemRequestedQuit();
}
