// Opening the serial port and setting its line and time-outs.
#include "serial/port.h"

#include <cstdio>

#include "run/settings.h"

const CommTimeouts COMTO = {1000, 10, 5000, 10, 5000};

bool SetupCommPort(CommPort** hCOM)
{
    return OpenCommPort(hCOM) && ConfigureCommPortParameters(*hCOM);
}

bool OpenCommPort(CommPort** hCOM)
{
    long err = 0;
    if (PortOpen(PortName, hCOM, &err)) {
        return true;
    }
    switch (ClassifyOpenError(err)) {
    case OpenError::FileNotFound:
        printf("File not found opening %s.\n", PortName);
        break;
    case OpenError::AccessDenied:
        printf("Access denied opening %s.\n", PortName);
        break;
    case OpenError::Other:
        printf("Error %ld opening port %s.\n", err, PortName);
        break;
    }
    return false;
}

bool ConfigureCommPortParameters(CommPort* hCOM)
{
    long err = 0;
    if (!PortGetState(hCOM, &err)) {
        printf("GetCommState failed error %ld.\n", err);
        return false;
    }
    if (!PortSetState(hCOM, BaudRate, &err)) {
        printf("SetCommState failed error %ld.\n", err);
        return false;
    }
    if (!PortSetTimeouts(hCOM, COMTO, &err)) {
        printf("SetCommTimeouts failed error %ld.\n", err);
        return false;
    }
    return true;
}
