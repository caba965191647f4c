// The event manager of the instance. Events go to the process's journal (EventJournal); this
// object only has to be pointed at the focus.
#pragma once

#include "Platform/KRPI_Object.h"

class KRPI_EventManager : public KRPI_Object {};
