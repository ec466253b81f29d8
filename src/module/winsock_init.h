#pragma once

namespace serverlink {

// Starts Windows Sockets 1.1 for the whole module at load and stops them at
// unload; the module only ever calls inet_addr in between.
class CWinsockInit {
public:
    CWinsockInit();
    virtual ~CWinsockInit();
    CWinsockInit(const CWinsockInit&) = delete;
    CWinsockInit& operator=(const CWinsockInit&) = delete;
};

}  // namespace serverlink
