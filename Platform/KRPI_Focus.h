// The product instance ("focus") this process belongs to.
#pragma once

class KRPI_Focus {
public:
    // The instance name; empty when the process belongs to none. Valid until the next call
    // on the same thread.
    static const char* getFocus();
    // [Focus] ClientName of the instance, or null. Valid until the next call on the same thread.
    static const char* getFocusClientName(bool refresh);
    // [Focus] Service: non-zero when the process runs as a service.
    static int AmIAService();
};
