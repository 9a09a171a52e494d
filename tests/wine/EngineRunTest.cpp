// Engine runs through the real dialog: apply runs over one patch and over the queue, list
// runs and the missing entry point, with a stand-in engine library that replays scripted
// reports and records the command lines it was given. The real engine is driven through the
// real tool in tests/e2e.
#include "tests/wine/Automation.h"
#include "tests/wine/Harness.h"

#include "engine/Callback.h"

#include <commctrl.h>

namespace kt {
namespace {

using Texts = std::vector<std::string>;

const char kEngineMissing[] = "Unable to find patchw32.dll. \n Please place this executable in "
                              "the same directory as patchw32.dll !";

class EngineRunTest : public DialogTest {
  protected:
    // Starts a run with stale lines, a stale listing and both bars moved off 0.
    void Dirty() {
        dlg->m_ctrlMessages.InsertString(-1, "line of an earlier run");
        dlg->m_listEngineListing = {"left\\over.dat"};
        for (fw::ProgressCtrl* bar : {&dlg->m_ctrlProgressFile, &dlg->m_ctrlProgressTotal}) {
            bar->SetRange32(0, 10);
            bar->SetPos(7);
        }
    }
    // What the dialog showed when engine lines first arrived under each status: the status,
    // the file bar's position and range, the total bar's position.
    std::unique_ptr<DuringRun> Watch(Texts& seen) {
        return std::make_unique<DuringRun>(dlg->m_hWnd, [this, &seen] {
            const std::string status = dlg->m_wndStatusBar.GetPaneText(0);
            if (!seen.empty() && seen.back().rfind(status + "|", 0) == 0) {
                return;
            }
            seen.push_back(status + "|" + std::to_string(dlg->m_ctrlProgressFile.GetPos()) + "/" +
                           std::to_string(::SendMessageA(dlg->m_ctrlProgressFile.m_hWnd,
                                                         PBM_GETRANGE, FALSE, 0)) +
                           "|" + std::to_string(dlg->m_ctrlProgressTotal.GetPos()));
        });
    }
    std::string Game() const { return " \"" + gameDir + "\""; }
};

// A single run passes its arguments (not the members) and the options to the engine, shows
// the engine's lines in arrival order after its own, starts on fresh bars and an empty
// listing, returns the engine's value unchanged and leaves no callback target behind.
TEST_F(EngineRunTest, SingleRun) {
    struct Row {
        bool validate, ignore, game;
        int ret;
        const char* temp;
        const char* call;
    };
    const Row rows[] = {
        {false, false, true, 0, "D:\\", "-u \"-otempdir:D:\\\""},
        {true, false, true, 7, "C:\\Temp", "-u -j \"-otempdir:C:\\Temp\""},
        {false, true, true, -12, "C:\\Temp", "-u -i \"-otempdir:C:\\Temp\""},
        {true, true, false, 0, "", "-u -j -i \"-otempdir:\""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.call);
        Restart();
        OpenDialog();
        dlg->m_bValidateOnly = r.validate;
        dlg->m_bIgnoreMissing = r.ignore;
        if (!r.game) {
            dlg->m_strGameDir.clear();
        }
        dlg->m_strPatchPath = "C:\\not this.rtp";
        dlg->m_strTempDir = "C:\\not\\this";
        Dirty();
        engine->Script("1 Zeta comes first.\n3   Alpha comes second  \\r\\n\n"
                       "7 data\\maps\\moor 01.dat\n2 Middle line\nret " +
                       std::to_string(r.ret));
        Texts seen;
        {
            auto watch = Watch(seen);
            EXPECT_EQ(dlg->RunPatchEngine("C:\\Patch Files\\update 1.30.rtp", r.temp), r.ret);
        }
        EXPECT_EQ(engine->Calls(),
                  Texts{r.call + (r.game ? Game() : "") + " \"C:\\Patch Files\\update 1.30.rtp\""});
        EXPECT_EQ(
            ListBoxLines(dlg->m_ctrlMessages.m_hWnd),
            (Texts{"--- Applying:  \"C:\\Patch Files\\update 1.30.rtp\" ---", "Zeta comes first.",
                   "Alpha comes second", "Processing: data\\maps\\moor 01.dat", "Middle line"}));
        ASSERT_FALSE(seen.empty());
        EXPECT_EQ(seen[0], "|0/32768|0"); // no queue text, fresh bars
        EXPECT_TRUE(dlg->m_listEngineListing.empty());
        EXPECT_TRUE(prompts->boxes.empty());
        EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(0), "");
        EXPECT_EQ(g_pMessageList, nullptr);
        EXPECT_EQ(g_hDialog, nullptr);
    }
}

// A queue run applies the queue top-down whatever patch is chosen, stops at the first
// failure (result 2), says which patch of how many runs, and starts each on fresh bars.
TEST_F(EngineRunTest, QueueRun) {
    // clang-format off
    struct Row { TextList queue; bool game, ignore; const char* script; int ret; Texts lines, seen; };
    const Row rows[] = {
        {{"C:\\q\\first.rtp", "C:\\q\\second patch.rtp", "C:\\q\\third.rtp"}, true, false, "1 first\n---\n1 second broke\nret 4\n---\n1 third must not run\n", 2,
         {"--- Applying: C:\\q\\first.rtp ---", "first", "--- Applying: C:\\q\\second patch.rtp ---", "second broke"},
         {"Processing patch 1 of 3 from queue.|0/32768|0", "Processing patch 2 of 3 from queue.|0/32768|0"}},
        {{"C:\\q\\a.rtp", "C:\\q\\b.rtp"}, true, true, "1 a\n6 3\n7 x\n5 900\n---\n1 b\n", 0,
         {"--- Applying: C:\\q\\a.rtp ---", "a", "Processing: x", "--- Applying: C:\\q\\b.rtp ---", "b"},
         {"Processing patch 1 of 2 from queue.|0/32768|0", "Processing patch 2 of 2 from queue.|0/32768|0"}},
        {{"C:\\a.rtp", "C:\\b.rtp"}, false, false, "ret 0\n---\nret 1\n", 2, {"--- Applying: C:\\a.rtp ---", "--- Applying: C:\\b.rtp ---"}, {}},
        {{}, true, false, "1 never\n", 99, {}, {}}, // an empty queue runs nothing
    };
    // clang-format on
    for (const Row& r : rows) {
        SCOPED_TRACE(r.script);
        Restart();
        OpenDialog();
        if (!r.game) {
            dlg->m_strGameDir.clear();
        }
        dlg->m_bIgnoreMissing = r.ignore;
        dlg->m_bUseQueue = TRUE;
        dlg->m_listQueue = r.queue;
        Dirty();
        engine->Script(r.script);
        Texts seen;
        {
            auto watch = Watch(seen);
            EXPECT_EQ(dlg->RunPatchEngine("C:\\chosen.rtp", "D:\\Temp"), r.ret);
        }
        Texts expectedCalls;
        for (const std::string& line : r.lines) {
            if (line.rfind("--- Applying: ", 0) == 0) {
                expectedCalls.push_back(std::string(r.ignore ? "-u -i " : "-u ") +
                                        "\"-otempdir:D:\\Temp\"" + (r.game ? Game() : "") + " \"" +
                                        line.substr(14, line.size() - 18) + "\"");
            }
        }
        EXPECT_EQ(engine->Calls(), expectedCalls);
        EXPECT_EQ(ListBoxLines(dlg->m_ctrlMessages.m_hWnd), r.lines);
        if (!r.seen.empty()) {
            EXPECT_EQ(seen, r.seen);
        }
        EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(0), "");
        EXPECT_TRUE(prompts->boxes.empty());
    }
}

// A list run collects the file names whole, untrimmed and repeated, in arrival order, in place
// of the stale listing, returns the engine's value and touches no control: the last apply
// run's lines, both bars and the status stay. An apply run afterwards shows names as lines.
TEST_F(EngineRunTest, ListRun) {
    OpenDialog();
    const std::string longName = "maps\\" + std::string(400, 'm') + ".dat";
    engine->Script("1 applied\n---\n6 9\n7 one.dat\n1 not a name\n5 30000\n7  two.dat \n3 third\n"
                   "7 one.dat\n7 " +
                   longName + "\nret 5\n---\n---\n7 x\n");
    EXPECT_EQ(dlg->RunPatchEngine("C:\\p.rtp", "C:\\"), 0);
    Dirty();
    dlg->m_strPatchPath = "C:\\Downloads\\update 2.rtp";
    EXPECT_EQ(dlg->ListPatchFiles(), 5);
    EXPECT_EQ(Texts(dlg->m_listEngineListing.begin(), dlg->m_listEngineListing.end()),
              (Texts{"one.dat", " two.dat ", "one.dat", longName}));
    EXPECT_EQ(ListBoxLines(dlg->m_ctrlMessages.m_hWnd),
              (Texts{"--- Applying:  \"C:\\p.rtp\" ---", "applied", "line of an earlier run"}));
    for (fw::ProgressCtrl* bar : {&dlg->m_ctrlProgressFile, &dlg->m_ctrlProgressTotal}) {
        EXPECT_EQ(bar->GetPos(), 7);
        EXPECT_EQ(::SendMessageA(bar->m_hWnd, PBM_GETRANGE, FALSE, 0), 10);
    }
    EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(0), "");
    EXPECT_EQ(g_bListMode, FALSE);
    dlg->m_strGameDir.clear();
    EXPECT_EQ(dlg->ListPatchFiles(), 0);
    EXPECT_TRUE(dlg->m_listEngineListing.empty()); // a run without names
    EXPECT_EQ(engine->Calls(), (Texts{"-u \"-otempdir:C:\\\"" + Game() + " \"C:\\p.rtp\"",
                                      "-l " + Game() + " \"C:\\Downloads\\update 2.rtp\"",
                                      "-l  \"C:\\Downloads\\update 2.rtp\""}));
    EXPECT_EQ(dlg->RunPatchEngine("C:\\p.rtp", "C:\\"), 0);
    EXPECT_EQ(ListBoxLines(dlg->m_ctrlMessages.m_hWnd),
              (Texts{"--- Applying:  \"C:\\p.rtp\" ---", "Processing: x"}));
}

// Without the entry point every kind of run shows the box, returns 2 and runs nothing.
TEST_F(EngineRunTest, MissingEntryPoint) {
    for (const char* kind : {"single", "queue", "empty queue", "list"}) {
        SCOPED_TRACE(kind);
        Restart();
        CopyFileOrDie(ScriptedEngine::NoEntryLibraryPath(), gameDir + "\\patchw32.dll");
        OpenDialog();
        Dirty();
        const std::string k = kind;
        dlg->m_bUseQueue = k.find("queue") != std::string::npos;
        if (k == "queue") {
            dlg->m_listQueue = {"C:\\a.rtp", "C:\\b.rtp"};
        }
        dlg->m_strPatchPath = "C:\\p.rtp";
        EXPECT_EQ(k == "list" ? dlg->ListPatchFiles() : dlg->RunPatchEngine("C:\\p.rtp", "C:\\"),
                  2);
        ASSERT_EQ(prompts->boxes.size(), 1u);
        ExpectBox(0, kEngineMissing, "Error");
        EXPECT_EQ(dlg->m_ctrlMessages.GetCount(), k == "list" ? 1 : 0);
        EXPECT_TRUE(dlg->m_listEngineListing.empty() || k != "list");
        EXPECT_TRUE(engine->Calls().empty());
        EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(0), "");
        EXPECT_EQ(g_bListMode, FALSE);
    }
}

} // namespace
} // namespace kt
