#include "ReadySignal.h"

void ReadySignal::preServe()
{
    ready.set_value();
}

void ReadySignal::wait()
{
    listening.wait();
}
