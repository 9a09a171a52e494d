// The patch queue dialog: the user collects several ".rtp" files that are applied
// top-down in one run. The dialog edits the main dialog's queue in place.
#pragma once

#include "framework/Framework.h"
#include "resources/resource.h"

#include <list>
#include <string>

class CKelvaneQueue : public fw::Dialog {
  public:
    // The queue is the main dialog's list of patch paths; the dialog keeps no copy.
    CKelvaneQueue(std::list<std::string>& queue, HWND owner);
    ~CKelvaneQueue() override;

    std::list<std::string>& m_pQueue;
    fw::ListBox m_ctrlQueue;

    void OnAddToQueue();
    void OnRemoveFromQueue();

  protected:
    void DoDataExchange() override;
    BOOL OnInitDialog() override;
    bool OnCommand(WORD id, WORD code) override;
};
