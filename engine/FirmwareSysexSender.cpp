#include "engine/FirmwareSysexSender.h"

#include "engine/ThreadPause.h"
#include "platform/WorkerPriority.h"

FirmwareSysexSender::FirmwareSysexSender (FirmwareUpdate::Ptr imageToSend, MidiManager::Ptr manager, Listener* listener)
    : juce::Thread ("Firmware Updater Thread")
    , image (std::move (imageToSend))
    , midiManager (std::move (manager))
{
    if (listener != nullptr)
        listeners.add (listener);
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

template <typename Call>
void FirmwareSysexSender::callListeners (Call&& call)
{
    for (int i = listeners.size(); --i >= 0;)
        call (*listeners.getUnchecked (i));
}

void FirmwareSysexSender::start()
{
    JUCE_ASSERT_MESSAGE_THREAD
    midiManager->addListener (this);
    midiManager->openMidiOutput (image->getPortName());

    const auto entry = image->getEntryMessage();

    // The keyboard restarts on the entry message; the blocks follow once it is back. One
    // that an open port refused never reached it: no restart would come to wait for.
    if (! entry.empty())
    {
        if (! midiManager->sendMessageToOutput (image->getPortName(), juce::MidiMessage (entry.data(), (int) entry.size()))
            && midiManager->isMidiOutputOpen (image->getPortName()))
            endWithFailedSend();

        return;
    }

    // Open, not only listed: blocks sent to a port that failed to open go nowhere.
    const auto port = image->getPortName();

    if (midiManager->isMidiOutputOpen (port) && (! onlyOnAListedPort || midiManager->isMidiOutputAvailable (port)))
        startSending();
}

void FirmwareSysexSender::startSending()
{
    runEnded = false;
    sendFailed = false;
    lastBlockGoing = false;
    endReported = false;
    startThread();
}

void FirmwareSysexSender::endWithFailedSend()
{
    sendFailed = true;
    runEnded = true;
    triggerAsyncUpdate();
}

void FirmwareSysexSender::reportOffline()
{
    // Once per run, whether the port vanished or refused a block first.
    if (! endReported.exchange (true))
        callListeners ([this] (Listener& l)
                       { l.status (this, "Device Offline"); });
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

    if (! midiManager->isMidiOutputOpen (port))
        return;

    blockCount = image->getBlockCount();
    callListeners ([this] (Listener& l)
                   { l.status (this, "Started"); });

    progressValue = 0.0;
    blocksSent = 0;
    triggerAsyncUpdate();

    while (blocksSent < blockCount && ! threadShouldExit())
    {
        const auto block = image->getBlock (blocksSent);
        lastBlockGoing = blocksSent + 1 == blockCount;

        // A block the port did not take whole is not sent: the keyboard's loader would
        // reject the image anyway, so the transfer ends here.
        if (! midiManager->sendMessageToOutput (port, juce::MidiMessage (block.data(), (int) block.size())))
        {
            endWithFailedSend();
            return;
        }

        const auto sent = ++blocksSent;
        const auto value = (double) sent / (double) blockCount;
        progressValue = value;

        if (value != 1.0)
        {
            triggerAsyncUpdate();
            ThreadPause::wait (*this, image->getBlockPause());
        }
    }

    runEnded = true;
    triggerAsyncUpdate();
}

void FirmwareSysexSender::handleAsyncUpdate()
{
    // A listener may drop the last reference to this sender from inside its callback.
    const Ptr keepAlive (this);

    // Read once: the last block may go while the listeners are being called, and a
    // completion must follow the progress that counts it, never one before it.
    const auto value = progressValue.load();
    callListeners ([this, value] (Listener& l)
                   { l.progress (this, value); });

    if (value == 1.0 && ! endReported.exchange (true))
        callListeners ([this] (Listener& l)
                       { l.status (this, "Completed"); });
    else if (sendFailed)
        reportOffline();

    if (runEnded)
        midiManager->removeListener (this);
}

void FirmwareSysexSender::midiOutputDeviceDisconnected (juce::StringArray names)
{
    const Ptr keepAlive (this);

    // The keyboard restarts on the last block, and the poll may hear it before the send
    // returns: whether that block went out is the send's to tell.
    if (! names.contains (image->getPortName()) || blocksSent == 0 || lastBlockGoing)
        return;

    requestStop();
    reportOffline();
}

void FirmwareSysexSender::midiOutputDeviceReconnected (juce::StringArray names)
{
    if (names.contains (image->getPortName()) && ! isThreadRunning() && ! runEnded)
        startSending();
}
