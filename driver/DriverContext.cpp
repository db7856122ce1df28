#include "driver/DriverContext.h"

#include <new>

DriverContext gDriver;

void LoadDriverContext()
{
    gDriver.~DriverContext();
    new (&gDriver) DriverContext();
}
