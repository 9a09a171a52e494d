// Names beyond ASCII: the UTF-8 that patches store, the UTF-16 that Windows is given, the
// letter-case rule that the builder and the engine share, the 8-bit texts of the entry point,
// and patches whose names arrive intact wherever they were built.
#include "builder.h"
#include "entry_caller.h"
#include "os.h"
#include "paths.h"
#include "test_support.h"

#include <algorithm>
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

using namespace kvtest;
namespace os = kv::os;
using kv::NameCoding;

namespace {

// Five folders of 60 letters: more than 260 characters below any game directory.
std::string deep_path() {
    std::string p;
    for (char c = 'a'; c < 'f'; ++c)
        p += std::string(60, c) + "/";
    return p + "дальний файл.dat";
}

// The tree with every folder its files need.
Tree with_folders(Tree t) {
    Tree dirs;
    for (const auto& entry : t)
        for (std::string p = kv::parent_rel(entry.first); !p.empty(); p = kv::parent_rel(p))
            dirs[p] = kDir;
    t.insert(dirs.begin(), dirs.end());
    return t;
}

// A crafted patch made to carry format version `v`, its checksum made right again.
void set_version(const std::string& patch, uint8_t v) {
    std::string p = read_file(patch);
    p[8] = static_cast<char>(v);
    kv::Hash128 h = kv::hash128(p.data(), p.size() - 16);
    std::copy(h.b, h.b + 16, p.end() - 16);
    write_file(patch, p);
}

// Whether the ANSI code page is the Western one that the expected 8-bit texts below are in.
bool western_code_page() {
#ifdef _WIN32
    return GetACP() == 1252;
#else
    return true;
#endif
}

} // namespace

TEST(Names, Utf8IsCheckedAndConvertedToUtf16) {
    struct Case {
        const char* utf8;
        bool valid;
        std::u16string utf16; // for valid input
    };
    const Case cases[] = {
        {"M\xC3\xBAsica", true, u"M\u00FAsica"},
        {"\xD0\x9A\xD0\xB0\xD1\x80\xD1\x82\xD0\xB0", true, u"\u041A\u0430\u0440\u0442\u0430"},
        {"\xE4\xB8\xBB\xE9\xA1\x8C", true, u"\u4E3B\u984C"},
        {"\xF0\x9F\x8E\xB5.ogg", true, u"\xD83C\xDFB5.ogg"},
        {"caf\xE9", false, {}},          // a Latin-1 byte
        {"\xC0\xAF", false, {}},         // overlong "/"
        {"\xED\xA0\x80", false, {}},     // a surrogate
        {"\xF4\x90\x80\x80", false, {}}, // beyond U+10FFFF
        {"\xE4\xB8", false, {}},         // cut short
        {"\x80x", false, {}},            // a lone continuation byte
    };
    for (const Case& c : cases) {
        std::u16string w;
        EXPECT_EQ(kv::is_valid_utf8(c.utf8), c.valid) << c.utf8;
        EXPECT_EQ(os::utf8_to_utf16(c.utf8, w), c.valid) << c.utf8;
        if (c.valid) {
            EXPECT_EQ(w, c.utf16) << c.utf8;
            EXPECT_EQ(os::utf16_to_utf8(w), c.utf8);
        }
    }
    // Windows allows a lone surrogate in a name: it stays distinct and is refused.
    std::string lone = os::utf16_to_utf8(u"a\xD800"
                                         u"b");
    EXPECT_EQ(lone, "a\xED\xA0\x80"
                    "b");
    EXPECT_EQ(kv::check_rel_path(lone, NameCoding::Utf8), "it is not valid UTF-8");
}

TEST(Names, LetterCaseRule) {
    struct Case {
        const char* a;
        const char* b;
        bool same;
    };
    const Case cases[] = {
        {"m\xC3\xBAsica/tema \xC3\xB1.ogg", "M\xC3\x9ASICA/TEMA \xC3\x91.OGG", true},
        {"\xC3\xBF", "\xC5\xB8", true},                                                 // ÿ Ÿ
        {"\xC5\xBEluv", "\xC5\xBDLUV", true},                                           // ž Ž
        {"\xD1\x91\xD0\xBB\xD0\xBA\xD0\xB0", "\xD0\x81\xD0\x9B\xD0\x9A\xD0\x90", true}, // ёлка
        {"\xCF\x82", "\xCE\xA3", true},         // final sigma
        {"\xCF\x8E", "\xCE\x8F", true},         // ώ Ώ
        {"\xE1\xBA\xBF", "\xE1\xBA\xBE", true}, // ế Ế
        {"\xEF\xBD\x81", "\xEF\xBC\xA1", true}, // fullwidth a A
        {"\xC3\x9F", "SS", false},              // ß stays
        {"\xC4\xB1", "I", false},               // dotless i stays
        {"e", "\xC3\xA9", false},
        {"\xE9\x9F\xB3", "\xE9\x9F\xB3", true}, // 音: no case
    };
    for (const Case& c : cases)
        EXPECT_EQ(kv::fold_case(c.a) == kv::fold_case(c.b), c.same) << c.a << " " << c.b;
    // Bytes that are not UTF-8 stay; the rule of format version 1 folds code page 1252.
    EXPECT_EQ(kv::fold_case("caf\xE9"), "CAF\xE9");
    EXPECT_EQ(kv::fold_case("caf\xE9", NameCoding::Native), "CAF\xC9");
}

TEST(Names, PathRulesByCoding) {
    struct Case {
        const char* path;
        NameCoding coding;
        const char* why;
    };
    const Case cases[] = {
        {"M\xC3\xBAsica/tema \xC3\xB1.ogg", NameCoding::Utf8, ""},
        {"caf\xE9.dat", NameCoding::Utf8, "it is not valid UTF-8"},
        {"caf\xE9.dat", NameCoding::Native, ""},
        {"COM\xC2\xB9.txt", NameCoding::Utf8,
         "\"COM\xC2\xB9.txt\" is a reserved device name on Windows"},
        {"COM\xB9.txt", NameCoding::Native, "\"COM\xB9.txt\" is a reserved device name on Windows"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(kv::check_rel_path(c.path, c.coding), c.why) << c.path;
    // Shortened texts are cut between characters.
    std::string cyr;
    for (int i = 0; i < 50; ++i)
        cyr += "\xD0\xB6";
    std::string cut = kv::shorten_middle(cyr, 40);
    EXPECT_TRUE(kv::is_valid_utf8(cut)) << cut;
    EXPECT_LE(cut.size(), 40u);
}

#ifdef _WIN32
// Paths reach the system in UTF-16; from 248 characters on, absolute in the "\\?\" form
// that lifts the 260-character limit (Wine has no such limit, so only the form is checked).
TEST(Names, LongPathsReachTheSystemInTheirUnlimitedForm) {
    const std::string seg(100, 'x');
    const std::wstring wseg(100, L'x');
    struct Case {
        std::string path;
        std::wstring form;
    };
    const Case cases[] = {
        {"C:\\M\xC3\xBAsica\\tema.ogg", L"C:\\M\u00FAsica\\tema.ogg"},
        {"C:\\" + seg + "\\" + seg + "\\..\\" + seg + "\\" + seg + "\\\xD0\xB6.dat",
         L"\\\\?\\C:\\" + wseg + L"\\" + wseg + L"\\" + wseg + L"\\\u0436.dat"},
        // short once resolved: as given, ".." and all
        {"C:\\" + seg + "\\" + seg + "\\..\\" + seg + "\\\xD0\xB6.dat",
         L"C:\\" + wseg + L"\\" + wseg + L"\\..\\" + wseg + L"\\\u0436.dat"},
        {"C:/" + seg + "/" + seg + "/" + seg, L"\\\\?\\C:\\" + wseg + L"\\" + wseg + L"\\" + wseg},
        {"\\\\server\\share\\" + seg + "\\" + seg + "\\" + seg,
         L"\\\\?\\UNC\\server\\share\\" + wseg + L"\\" + wseg + L"\\" + wseg},
        {"\\\\?\\C:\\" + seg + "\\" + seg + "\\" + seg,
         L"\\\\?\\C:\\" + wseg + L"\\" + wseg + L"\\" + wseg},
    };
    for (const Case& c : cases)
        EXPECT_EQ(os::system_path(c.path), c.form) << c.path;
}
#else
// Trees that Windows cannot hold, or whose names a patch cannot store: named in the error.
TEST(Names, BuilderRefusesNamesThatCannotTravel) {
    struct Case {
        Tree old_tree, new_tree;
        const char* error;
    };
    const Case cases[] = {
        {{},
         {{"\xD0\x9A\xD0\xB0\xD1\x80\xD1\x82\xD0\xB0.dat", "1"},
          {"\xD0\xBA\xD0\xB0\xD1\x80\xD1\x82\xD0\xB0.dat", "2"}},
         "cannot read the new tree: \"\xD0\x9A\xD0\xB0\xD1\x80\xD1\x82\xD0\xB0.dat\" and "
         "\"\xD0\xBA\xD0\xB0\xD1\x80\xD1\x82\xD0\xB0.dat\" differ only in letter case, and Windows "
         "cannot hold both"},
        {{{"Data/\xC3\x84rger.txt", "1"}, {"Data/\xC3\xA4rger.txt", "2"}},
         {},
         "cannot read the old tree: \"Data/\xC3\x84rger.txt\" and \"Data/\xC3\xA4rger.txt\" "
         "differ only in letter case, and Windows cannot hold both"},
        {{},
         {{"Musik/tema \xF1\x01.ogg", "1"}},
         "cannot read the new tree: Musik/tema \\xF1\\x01.ogg: the name is not valid UTF-8 "
         "(patches store names in UTF-8; rename the file)"},
    };
    for (const Case& c : cases) {
        Scratch s;
        make_tree(s.sub("old"), c.old_tree);
        make_tree(s.sub("new"), c.new_tree);
        kv::BuildStats st;
        EXPECT_EQ(kv::build_patch(s.sub("old"), s.sub("new"), s.sub("p.rtp"), {}, {}, st), c.error);
        EXPECT_FALSE(exists(s.sub("p.rtp")));
    }
}
#endif

// Latin-1 accents, Cyrillic and CJK names, one more than 260 characters below the game
// directory, in a game directory with an accented name, applied through the entry point.
TEST(Names, NamesOfEveryScriptApplyThroughTheEntryPoint) {
    const std::string latin = "M\xC3\xBAsica/tema \xC3\xB1.ogg";
    const std::string cyrillic = "\xD0\x9A\xD0\xB0\xD1\x80\xD1\x82\xD0\xB0/"
                                 "\xD0\xBF\xD0\xBE\xD0\xBB\xD0\xB5.dat";
    const std::string cjk = "\xE9\x9F\xB3\xE6\xA5\xBD/\xE4\xB8\xBB\xE9\xA1\x8C.ogg";
    Scratch s;
    Tree old_tree = with_folders({{latin, "old song"}, {"keep.txt", "k"}});
    Tree new_tree = with_folders({{latin, "new song"},
                                  {"keep.txt", "k"},
                                  {cyrillic, "field"},
                                  {cjk, "theme"},
                                  {deep_path(), "far away"}});
    make_tree(s.sub("old"), old_tree);
    make_tree(s.sub("new"), new_tree);
    std::string game = s.sub("Jogos M\xC3\xBAsica");
    make_tree(game, old_tree);
    build(s.sub("old"), s.sub("new"), s.sub("p.rtp"));
    kv::Patch patch;
    std::string msg;
    ASSERT_EQ(kv::open_patch(s.sub("p.rtp"), patch, msg), kv::PatchError::None) << msg;
    EXPECT_EQ(patch.version, 2);
    patch.file.close();
    ASSERT_GT(os::join(game, native(deep_path())).size(), 260u);

#ifdef _WIN32
    std::string line_game = s.sub("Jogos M\xFAsica"); // the ANSI code page (1252)
#else
    std::string line_game = game;
#endif
    if (!western_code_page())
        GTEST_SKIP() << "the command line below is written in code page 1252";
    ASSERT_EQ(call("-u " + q(line_game) + " " + q(s.sub("p.rtp"))), 0) << all_text();
    EXPECT_EQ(describe_difference(snapshot(game), new_tree), "");
    std::vector<std::string> names = texts(7);
#ifdef _WIN32
    // The ANSI code page shows what it can; the rest is '?', and the run still succeeds.
    EXPECT_NE(std::find(names.begin(), names.end(), "M\xFAsica\\tema \xF1.ogg"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), "?????\\????.dat"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), "??\\??.ogg"), names.end());
#else
    EXPECT_NE(std::find(names.begin(), names.end(), latin), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), cjk), names.end());
#endif
}

// Format version 1 stored the builder's 8-bit names: read as the ANSI code page on Windows,
// as bytes elsewhere. The same bytes in a version 2 patch are refused.
TEST(Names, OldPatchesKeepTheirEightBitNames) {
    if (!western_code_page())
        GTEST_SKIP() << "the old name below is written in code page 1252";
    Scratch s;
    os::make_dir(s.sub("game"));
    craft_patch(s.sub("p.rtp"), {add_entry("caf\xE9.dat", "coffee")});
    Recorder refused;
    EXPECT_EQ(kv::run_engine("-u " + q(s.sub("game")) + " " + q(s.sub("p.rtp")), refused),
              kv::kRcPatchHostile);
    EXPECT_NE(refused.all_text().find("is unsafe (it is not valid UTF-8)."), std::string::npos)
        << refused.all_text();
    set_version(s.sub("p.rtp"), 1);
    Recorder applied;
    ASSERT_EQ(kv::run_engine("-u " + q(s.sub("game")) + " " + q(s.sub("p.rtp")), applied), 0)
        << applied.all_text();
#ifdef _WIN32
    EXPECT_EQ(snapshot(s.sub("game")), (Tree{{"caf\xC3\xA9.dat", "coffee"}}));
#else
    EXPECT_EQ(snapshot(s.sub("game")), (Tree{{"caf\xE9.dat", "coffee"}}));
#endif
}

// A run that an engine before UTF-8 names left half done (its plan names files in the ANSI
// code page) is still undone by the next run.
TEST(Names, AnOlderEnginesInterruptedRunIsUndone) {
    if (!western_code_page())
        GTEST_SKIP() << "the old plan below is written in code page 1252";
    Scratch s;
    const Tree old_tree = {{"caf\xC3\xA9.dat", "old"}}, new_tree = {{"caf\xC3\xA9.dat", "new"}};
    make_tree(s.sub("old"), old_tree);
    make_tree(s.sub("new"), new_tree);
    make_tree(s.sub("game"), old_tree);
    build(s.sub("old"), s.sub("new"), s.sub("p.rtp"));
    bool moved = false; // every operation fails once the game file is moved aside
    os::set_fault_hook([&](const char* op, const std::string& path) {
        if (moved)
            return false;
        moved = std::string(op) == "rename" && path == os::join(s.sub("game"), "caf\xC3\xA9.dat");
        return true;
    });
    Recorder r;
    int rc = kv::run_engine("-u " + q(s.sub("game")) + " " + q(s.sub("p.rtp")), r);
    os::set_fault_hook(nullptr);
    ASSERT_EQ(rc, kv::kRcRollbackFailed) << r.all_text();
    std::string plan_path = os::join(s.sub("game"), native("Tarrowmoor/.kelvane-journal/plan"));
    std::string plan = read_file(plan_path);
    plan[7] = '1';
#ifdef _WIN32
    const std::string utf8 = std::string("\x09\x00", 2) + "caf\xC3\xA9.dat";
    plan.replace(plan.find(utf8), utf8.size(), std::string("\x08\x00", 2) + "caf\xE9.dat");
#endif
    uint64_t h = kv::hash64(plan.data(), plan.size() - 8);
    for (size_t i = 0; i < 8; ++i)
        plan[plan.size() - 8 + i] = static_cast<char>(h >> (8 * i));
    write_file(plan_path, plan);
    Recorder again;
    EXPECT_EQ(kv::run_engine("-u -j " + q(s.sub("game")) + " " + q(s.sub("p.rtp")), again), 0)
        << again.all_text();
    EXPECT_EQ(snapshot(s.sub("game")), old_tree);
}
