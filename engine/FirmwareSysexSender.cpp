#include "engine/FirmwareSysexSender.h"

#include "engine/ThreadPause.h"
#include "platform/WorkerPriority.h"

const char* FirmwareSysexSender::textOf (Status status)
{
    switch (status)
    {
        case Status::started:
            return "Started";
        case Status::completed:
            return "Completed";
        case Status::deviceOffline:
            return "Device Offline";
    }

    return "";
}

FirmwareSysexSender::FirmwareSysexSender (FirmwareUpdate::Ptr imageToSend, MidiManager::Ptr manager, Listener* l)
    : juce::Thread ("Firmware Updater Thread")
    , listener (l)
    , image (std::move (imageToSend))
    , midiManager (std::move (manager))
{
}

FirmwareSysexSender::~FirmwareSysexSender()
{
    midiManager->removeListener (this);
    cancelPendingUpdate();

    // Never killed: the thread may hold the port manager's lock in the middle of a
    // block. It ends within one block and one pause.
    requestStop();
    waitForThreadToExit (-1);
}

bool FirmwareSysexSender::start()
{
    JUCE_ASSERT_MESSAGE_THREAD

    // Open, not only listed: blocks sent to a port that failed to open go nowhere.
    midiManager->openMidiOutput (image->getPortName());

    if (isThreadRunning() || ! midiManager->isMidiOutputOpen (image->getPortName()))
        return false;

    midiManager->addListener (this);
    started = runEnded = sendFailed = lastBlockGoing = false;
    startReported = endReported = false;
    startThread();
    return true;
}

void FirmwareSysexSender::requestStop()
{
    signalThreadShouldExit();
    notify();
}

void FirmwareSysexSender::run()
{
    // High, so that blocks follow each other with only their pause between.
    WorkerPriority::applyToCurrentThread (WorkerPriority::Role::firmwareSender);
    const auto port = image->getPortName();
    const auto blockCount = image->getBlockCount();

    // The port closed since the start: nothing can reach the keyboard.
    if (! midiManager->isMidiOutputOpen (port))
    {
        endRun (true);
        return;
    }

    progressValue = 0.0;
    blocksSent = 0;
    started = true;
    triggerAsyncUpdate();

    while (blocksSent < blockCount && ! threadShouldExit())
    {
        const auto block = image->getBlock (blocksSent);
        lastBlockGoing = blocksSent + 1 == blockCount;

        // A block the port did not take whole is not sent: the keyboard's loader would
        // reject the image anyway, so the transfer ends here.
        if (! midiManager->sendMessageToOutput (port, juce::MidiMessage (block.data(), (int) block.size())))
        {
            endRun (true);
            return;
        }

        const auto sent = ++blocksSent;
        const auto value = (double) sent / (double) blockCount;
        progressValue = value;
        triggerAsyncUpdate();

        if (value != 1.0)
            ThreadPause::wait (*this, image->getBlockPause());
    }

    endRun (false);
}

void FirmwareSysexSender::endRun (bool failed)
{
    sendFailed = failed;
    runEnded = true;
    triggerAsyncUpdate();
}

void FirmwareSysexSender::report (Status status)
{
    if (listener != nullptr)
        listener->status (this, status);
}

void FirmwareSysexSender::handleAsyncUpdate()
{
    // The listener may drop its reference to this sender from inside a callback; it
    // then hears nothing more from it.
    const Ptr keepAlive (this);
    const auto dropped = [this]
    { return getReferenceCount() == 1; };

    if (runEnded)
        midiManager->removeListener (this);

    if (started && ! startReported)
    {
        startReported = true;
        report (Status::started);

        if (dropped())
            return;
    }

    if (endReported)
        return;

    // Read once: the last block may go while the listener is being called, and a
    // completion must follow the progress that counts it, never one before it.
    const auto value = progressValue.load();

    if (startReported && listener != nullptr)
    {
        listener->progress (this, value);

        if (dropped())
            return;
    }

    if (value == 1.0 || (runEnded && sendFailed))
    {
        endReported = true;
        report (value == 1.0 ? Status::completed : Status::deviceOffline);
    }
}

void FirmwareSysexSender::midiOutputDeviceDisconnected (juce::StringArray names)
{
    // The keyboard restarts on the last block, and the poll may hear it before the send
    // returns: whether that block went out is the send's to tell.
    if (! names.contains (image->getPortName()) || blocksSent == 0 || lastBlockGoing || endReported)
        return;

    const Ptr keepAlive (this);
    requestStop();
    endReported = true;
    report (Status::deviceOffline);
}
