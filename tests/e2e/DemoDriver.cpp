// The demo's player: finds the running Kelvane, chooses the patch given on the command line
// in the open-file dialog, presses Patch, prints the outcome box and confirms it; with
// --exit it then presses Exit.
//   kelvane_demo_driver.exe "C:\Patches\tarrow_2.05_from_1.12.rtp" [--exit]
#include "tests/e2e/Player.h"

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2 && !(argc == 3 && std::string(argv[2]) == "--exit")) {
        std::fprintf(stderr, "usage: kelvane_demo_driver PATCH.rtp [--exit]\n");
        return 2;
    }
    const std::string patch = argv[1];
    e2e::Kelvane kelvane;
    if (!kelvane.Attach(60000)) {
        return 1;
    }
    if (!kelvane.Click(1002)) {
        return 1;
    }
    HWND open = kelvane.WaitForPopup("Please select the patch (*.rtp) to apply!");
    if (open == nullptr || !e2e::AnswerOpenFile(open, patch)) {
        return 1;
    }
    // The window can look idle for a moment after the open-file dialog has gone and before the
    // space calculation begins; Patch becomes available once that calculation has ended.
    kt::WaitFor(60000, [&] { return kelvane.Enabled(IDOK) ? kelvane.main() : nullptr; });
    if (!kelvane.WaitIdle()) {
        return 1;
    }
    e2e::Log("patch chosen: " + kelvane.Text(1000) + " - " + kelvane.Text(1021));
    if (!kelvane.Click(IDOK)) {
        return 1;
    }
    const e2e::Box outcome = kelvane.WaitForBox(600000);
    if (!outcome) {
        return 1;
    }
    for (const std::string& line : kelvane.Messages()) {
        e2e::Log("message: " + line);
    }
    kelvane.Screenshot("demo-outcome");
    e2e::PressAndWaitGone(outcome.hwnd, IDOK);
    kelvane.WaitIdle();
    e2e::Log("status: " + kelvane.Status(1));
    if (argc == 3) {
        kt::PressButton(kelvane.main(), IDCANCEL);
    }
    return outcome.caption == "Success" ? 0 : 1;
}
