// The application object: runs the main dialog modally and ends with it.
#pragma once

class CKelvaneApp {
  public:
    CKelvaneApp() = default;
    virtual ~CKelvaneApp() = default;
    // Runs the main dialog; returns FALSE so that no message loop of its own follows.
    virtual int InitInstance();
};
