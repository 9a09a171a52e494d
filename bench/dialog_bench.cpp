// Times a patch run through the real Kelvane dialog, as a player starts it: finds the running
// Kelvane, chooses the patch in the open-file dialog, presses Patch and waits for the outcome
// box. While the engine runs it checks, every 100 ms, that the window still answers (a WM_NULL
// sent with a timeout), moves the window once and photographs it halfway, and reads how far
// the list and the two progress bars have got.
//   kelvane_dialog_bench.exe "C:\Patches\many.rtp" expected-lines "C:\Temp"
// The temp directory is chosen through "Select Temp Dir" first: Kelvane's own choice, the
// roomiest drive, is under Wine the drive Z:, the root of the host's file system, and a run
// that is killed would leave its work folder there.
// Prints "tempdir: ...", "select_s: ...", "patch_s: ..." and the probe figures, one per line.
#include "tests/e2e/Player.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

double Seconds(const LARGE_INTEGER& from, const LARGE_INTEGER& to) {
    LARGE_INTEGER freq;
    ::QueryPerformanceFrequency(&freq);
    return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(freq.QuadPart);
}

LARGE_INTEGER Now() {
    LARGE_INTEGER t;
    ::QueryPerformanceCounter(&t);
    return t;
}

LRESULT Ask(HWND hwnd, UINT msg) {
    DWORD_PTR result = 0;
    ::SendMessageTimeoutA(hwnd, msg, 0, 0, SMTO_ABORTIFHUNG, 10000, &result);
    return static_cast<LRESULT>(result);
}

bool IsOutcomeBox(HWND popup) {
    const std::string caption = kt::WindowText(popup);
    return caption == "Success" || caption == "Error";
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: kelvane_dialog_bench PATCH.rtp EXPECTED-LINES TEMP-DIR\n");
        return 2;
    }
    const std::string patch = argv[1];
    const long expected = std::atol(argv[2]);
    const std::string tempDir = argv[3];
    e2e::Kelvane kelvane;
    if (!kelvane.Attach(60000) || !kelvane.Click(1003)) {
        return 1;
    }
    HWND browser = kelvane.WaitForBrowser();
    if (browser == nullptr || !e2e::AnswerFolderBrowser(browser, tempDir) || !kelvane.WaitIdle() ||
        kelvane.Text(1001) != tempDir) {
        std::fprintf(stderr, "cannot choose the temp directory %s (shown: %s)\n", tempDir.c_str(),
                     kelvane.Text(1001).c_str());
        return 1;
    }
    std::printf("tempdir: %s\n", kelvane.Text(1001).c_str());
    if (!kelvane.Click(1002)) {
        return 1;
    }
    const LARGE_INTEGER selectStart = Now();
    HWND open = kelvane.WaitForPopup("Please select the patch (*.rtp) to apply!");
    if (open == nullptr || !e2e::AnswerOpenFile(open, patch) || !kelvane.WaitIdle(600000)) {
        return 1;
    }
    std::printf("select_s: %.2f\n", Seconds(selectStart, Now()));
    std::fflush(stdout);

    HWND list = kelvane.Item(1005);
    HWND total = kelvane.Item(1007);
    RECT before{};
    ::GetWindowRect(kelvane.main(), &before);
    if (!kelvane.Click(IDOK)) {
        return 1;
    }
    const LARGE_INTEGER start = Now();
    double worstAnswer = 0;
    double sumAnswer = 0;
    int probes = 0;
    bool moved = false;
    bool photographed = false;
    double moveAsked = -1;
    double moveSeen = -1;
    HWND box = nullptr;
    while (box == nullptr) {
        ::Sleep(100);
        for (HWND popup : kelvane.Popups()) {
            if (IsOutcomeBox(popup)) {
                box = popup;
            }
        }
        if (box != nullptr) {
            break;
        }
        const LARGE_INTEGER askedAt = Now();
        DWORD_PTR ignored = 0;
        ::SendMessageTimeoutA(kelvane.main(), WM_NULL, 0, 0, SMTO_NORMAL, 30000, &ignored);
        const double answer = Seconds(askedAt, Now());
        worstAnswer = std::max(worstAnswer, answer);
        sumAnswer += answer;
        ++probes;
        const double elapsed = Seconds(start, Now());
        const LRESULT lines = Ask(list, LB_GETCOUNT);
        if (!moved && lines > 200) {
            // Moves the window by 40 pixels without waiting for it; the time until it stands
            // there shows that the run lets the window move.
            ::SetWindowPos(kelvane.main(), nullptr, before.left + 40, before.top, 0, 0,
                           SWP_NOSIZE | SWP_NOZORDER | SWP_ASYNCWINDOWPOS | SWP_NOACTIVATE);
            moved = true;
            moveAsked = elapsed;
        }
        if (moved && moveSeen < 0) {
            RECT now{};
            ::GetWindowRect(kelvane.main(), &now);
            if (now.left == before.left + 40) {
                moveSeen = elapsed;
            }
        }
        if (!photographed && expected > 0 && lines > expected / 2) {
            photographed = true;
            std::printf("halfway: %.2f s, %ld lines, top line %ld, total bar %ld, file bar %ld\n",
                        elapsed, static_cast<long>(lines),
                        static_cast<long>(Ask(list, LB_GETTOPINDEX)),
                        static_cast<long>(Ask(total, PBM_GETPOS)),
                        static_cast<long>(Ask(kelvane.Item(1006), PBM_GETPOS)));
            kelvane.Screenshot("bench-halfway");
        }
    }
    const double patchSeconds = Seconds(start, Now());
    const LRESULT lines = Ask(list, LB_GETCOUNT);
    std::printf("patch_s: %.2f\n", patchSeconds);
    const std::string outcome = kt::WindowText(box);
    std::printf("outcome: %s\n", outcome.c_str());
    std::printf("lines: %ld, top line %ld, total bar %ld\n", static_cast<long>(lines),
                static_cast<long>(Ask(list, LB_GETTOPINDEX)),
                static_cast<long>(Ask(total, PBM_GETPOS)));
    std::printf("answer_ms: worst %.0f, mean %.0f over %d probes\n", worstAnswer * 1000,
                probes ? sumAnswer * 1000 / probes : 0.0, probes);
    if (moveSeen >= 0) {
        std::printf("moved: asked at %.2f s, done by %.2f s\n", moveAsked, moveSeen);
    } else {
        std::printf("moved: %s\n", moved ? "not before the end of the run" : "never asked");
    }
    std::fflush(stdout);
    e2e::PressAndWaitGone(box, IDOK);
    kelvane.WaitIdle();
    return outcome == "Success" ? 0 : 1;
}
