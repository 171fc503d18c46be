#include "engine/AgreeingReads.h"

AgreeingReads::Next AgreeingReads::whole (const Messages& read)
{
    ++reads;

    if (! wentWrong || lastWhole == read)
        return Next::take;

    lastWhole = read;
    return again();
}

AgreeingReads::Next AgreeingReads::spoilt()
{
    ++reads;
    wentWrong = true;
    return again();
}
