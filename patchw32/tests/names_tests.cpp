// Names beyond ASCII: the UTF-8 that patches store, the UTF-16 that Windows is given, the
// letter-case rule that the builder and the engine share, the 8-bit texts of the entry point,
// and patches whose names arrive intact wherever they were built.
#include "builder.h"
#include "entry_caller.h"
#include "os.h"
#include "paths.h"
#include "test_support.h"

#include <tuple>
#include <algorithm>
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

using namespace kvtest;
namespace os = kv::os;
using kv::NameCoding;

namespace {

// Five folders of 60 letters: with a file in them, more than 260 characters below any game
// directory.
std::string deep_folders() {
    std::string p;
    for (char c = 'a'; c < 'f'; ++c)
        p += std::string(60, c) + "/";
    return p;
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
    const std::tuple<const char*, bool, std::u16string> cases[] = {
        // UTF-16 of valid input
        {"Música", true, u"M\u00FAsica"},
        {"Карта", true, u"\u041A\u0430\u0440\u0442\u0430"},
        {"主題", true, u"\u4E3B\u984C"},
        {"🎵.ogg", true, u"\xD83C\xDFB5.ogg"},
        {"caf\xE9", false, {}},          // a Latin-1 byte
        {"\xC0\xAF", false, {}},         // overlong "/"
        {"\xED\xA0\x80", false, {}},     // a surrogate
        {"\xF4\x90\x80\x80", false, {}}, // beyond U+10FFFF
        {"\xE4\xB8", false, {}},         // cut short
        {"\x80x", false, {}},            // a lone continuation byte
    };
    for (const auto& [utf8, valid, utf16] : cases) {
        std::u16string w;
        EXPECT_EQ(kv::is_valid_utf8(utf8), valid) << utf8;
        EXPECT_EQ(os::utf8_to_utf16(utf8, w), valid) << utf8;
        if (valid) {
            EXPECT_EQ(w, utf16) << utf8;
            EXPECT_EQ(os::utf16_to_utf8(w), utf8);
        }
    }
    // Windows allows a lone surrogate in a name: it stays distinct and is refused.
    std::string lone = os::utf16_to_utf8(std::u16string{u'a', char16_t(0xD800)});
    EXPECT_EQ(lone, "a\xED\xA0\x80");
    EXPECT_EQ(kv::check_rel_path(lone, NameCoding::Utf8).message, "it is not valid UTF-8");
}

TEST(Names, LetterCaseRule) {
    const std::tuple<const char*, const char*, bool> cases[] = {
        {"música/tema ñ.ogg", "MÚSICA/TEMA Ñ.OGG", true},
        {"ÿ", "Ÿ", true},
        {"žluv", "ŽLUV", true},
        {"ёлка", "ЁЛКА", true},
        {"ς", "Σ", true}, // final sigma
        {"ώ", "Ώ", true},
        {"ế", "Ế", true},
        {"ａ", "Ａ", true}, // fullwidth a A
        {"ß", "SS", false}, // ß stays
        {"ı", "I", false},  // dotless i stays
        {"e", "é", false},
        {"音", "音", true}, // no case
    };
    for (const auto& [a, b, same] : cases)
        EXPECT_EQ(kv::fold_case(a) == kv::fold_case(b), same) << a << " " << b;
    // Bytes that are not UTF-8 stay; the rule of format version 1 folds code page 1252.
    EXPECT_EQ(kv::fold_case("caf\xE9"), "CAF\xE9");
    EXPECT_EQ(kv::fold_case("caf\xE9", NameCoding::Native), "CAF\xC9");
}

// Paths order as Windows compares names, the separator first, letters folded, a byte that
// is not UTF-8 after every character, wherever in a character the two paths part.
TEST(Names, PathOrder) {
    const std::tuple<const char*, const char*, int> cases[] = {
        {"música/tema", "MÚSICA/TEMA", 0},
        {"data/a", "data a", -1},
        {"dejà", "dejá", -1},                 // à and á part in their second byte
        {"café", "cafÉ", 0},                  // and so do é and É
        {"x\xC3", "x\xC3\xA9", 1},            // a lone lead byte after é
        {"ab\x80", "ab\xC3\xA9", 1},          // a stray continuation byte after é
        {"caf\xC3\xA9s/b", "caf\xC3\xA9", 1}, // a longer path after its beginning
    };
    for (const auto& [a, b, order] : cases) {
        EXPECT_EQ(kv::compare_folded_paths(a, b, NameCoding::Utf8), order) << a << " " << b;
        EXPECT_EQ(kv::compare_folded_paths(b, a, NameCoding::Utf8), -order) << a << " " << b;
    }
}

TEST(Names, PathRulesByCoding) {
    const std::tuple<const char*, NameCoding, const char*> cases[] = {
        {"Música/tema ñ.ogg", NameCoding::Utf8, ""},
        {"caf\xE9.dat", NameCoding::Utf8, "it is not valid UTF-8"},
        {"caf\xE9.dat", NameCoding::Native, ""},
        {"COM¹.txt", NameCoding::Utf8, "\"COM¹.txt\" is a reserved device name on Windows"},
        {"COM\xB9.txt", NameCoding::Native, "\"COM\xB9.txt\" is a reserved device name on Windows"},
    };
    for (const auto& [path, coding, why] : cases)
        EXPECT_EQ(kv::check_rel_path(path, coding).message, why) << path;
    // Shortened texts are cut between characters.
    std::string cut = kv::shorten_middle("жжжжжжжжжжжжжжжжжжжжжжжжжжжжжжжжжжжж", 40);
    EXPECT_TRUE(kv::is_valid_utf8(cut)) << cut;
    EXPECT_LE(cut.size(), 40u);
}

#ifdef _WIN32
// Paths reach the system in UTF-16; from 248 characters on, absolute in the "\\?\" form
// that lifts the 260-character limit (Wine has no such limit, so only the form is checked).
TEST(Names, LongPathsReachTheSystemInTheirUnlimitedForm) {
    const std::string seg(100, 'x');
    const std::wstring wseg(100, L'x');
    const std::pair<std::string, std::wstring> cases[] = {
        {"C:\\Música\\tema.ogg", L"C:\\M\u00FAsica\\tema.ogg"},
        {"C:\\" + seg + "\\" + seg + "\\..\\" + seg + "\\" + seg + "\\ж.dat",
         L"\\\\?\\C:\\" + wseg + L"\\" + wseg + L"\\" + wseg + L"\\\u0436.dat"},
        // short once resolved: as given, ".." and all
        {"C:\\" + seg + "\\" + seg + "\\..\\" + seg + "\\ж.dat",
         L"C:\\" + wseg + L"\\" + wseg + L"\\..\\" + wseg + L"\\\u0436.dat"},
        {"C:/" + seg + "/" + seg + "/" + seg, L"\\\\?\\C:\\" + wseg + L"\\" + wseg + L"\\" + wseg},
        {"\\\\server\\share\\" + seg + "\\" + seg + "\\" + seg,
         L"\\\\?\\UNC\\server\\share\\" + wseg + L"\\" + wseg + L"\\" + wseg},
        {"\\\\?\\C:\\" + seg + "\\" + seg + "\\" + seg,
         L"\\\\?\\C:\\" + wseg + L"\\" + wseg + L"\\" + wseg},
    };
    for (const auto& [path, form] : cases)
        EXPECT_EQ(os::system_path(path), form) << path;
}
#else
// Trees that Windows cannot hold, or whose names a patch cannot store: named in the error.
TEST(Names, BuilderRefusesNamesThatCannotTravel) {
    const std::tuple<Tree, Tree, const char*> cases[] = {
        // old tree, new tree, error
        {{},
         {{"Карта.dat", "1"}, {"карта.dat", "2"}},
         "cannot read the new tree: \"Карта.dat\" and "
         "\"карта.dat\" differ only in letter case, and Windows "
         "cannot hold both"},
        {{{"Data/Ärger.txt", "1"}, {"Data/ärger.txt", "2"}},
         {},
         "cannot read the old tree: \"Data/Ärger.txt\" and \"Data/ärger.txt\" "
         "differ only in letter case, and Windows cannot hold both"},
        {{},
         {{"Musik/tema \xF1\x01.ogg", "1"}},
         "cannot read the new tree: Musik/tema \\xF1\\x01.ogg: the name is not valid UTF-8 "
         "(patches store names in UTF-8; rename the file)"},
    };
    for (const auto& [old_tree, new_tree, error] : cases) {
        Scratch s;
        make_tree(s.sub("old"), old_tree);
        make_tree(s.sub("new"), new_tree);
        kv::BuildStats st;
        EXPECT_EQ(
            kv::build_patch(s.sub("old"), s.sub("new"), s.sub("p.rtp"), {}, kv::BuildLog{}, st)
                .message,
            error);
        EXPECT_FALSE(exists(s.sub("p.rtp")));
    }
}
#endif

// Latin-1 accents, Cyrillic and CJK names, one more than 260 characters below the game
// directory, in a game directory with an accented name, applied through the entry point.
TEST(Names, NamesOfEveryScriptApplyThroughTheEntryPoint) {
    const std::string latin = "Música/tema ñ.ogg";
    const std::string cyrillic = "Карта/поле.dat", cjk = "音楽/主題.ogg";
    const std::string deep = deep_folders() + "дальний файл.dat";
    Scratch s;
    Tree old_tree = {{latin, "old song"}, {"keep.txt", "k"}};
    make_tree(s.sub("old"), old_tree);
    make_tree(s.sub("new"), {{latin, "new song"},
                             {"keep.txt", "k"},
                             {cyrillic, "field"},
                             {cjk, "theme"},
                             {deep, "far away"}});
    std::string game = s.sub("Jogos Música");
    make_tree(game, old_tree);
    build(s.sub("old"), s.sub("new"), s.sub("p.rtp"));
    EXPECT_EQ(read_file(s.sub("p.rtp"))[8], 2) << "format version";
    ASSERT_GT(os::join(game, native(deep)).size(), 260u);

#ifdef _WIN32
    std::string line_game = s.sub("Jogos M\xFAsica"); // the ANSI code page (1252)
#else
    std::string line_game = game;
#endif
    if (!western_code_page())
        GTEST_SKIP() << "the command line below is written in code page 1252";
    ASSERT_EQ(call("-u " + q(line_game) + " " + q(s.sub("p.rtp"))), 0) << all_text();
    EXPECT_EQ(describe_difference(snapshot(game), snapshot(s.sub("new"))), "");
#ifdef _WIN32
    // The ANSI code page shows what it can, the rest as '?', and the run still succeeds.
    const std::vector<std::string> shown = {"M\xFAsica\\tema \xF1.ogg",
                                            native(deep_folders()) + "??????? ????.dat",
                                            "?????\\????.dat", "??\\??.ogg"};
#else
    const std::vector<std::string> shown = {latin, deep, cyrillic, cjk};
#endif
    EXPECT_EQ(texts(7), shown);
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
    std::string p = read_file(s.sub("p.rtp")); // made format version 1, resealed
    p[8] = 1;
    write_file(s.sub("p.rtp"), resealed(p));
    Recorder applied;
    ASSERT_EQ(kv::run_engine("-u " + q(s.sub("game")) + " " + q(s.sub("p.rtp")), applied), 0)
        << applied.all_text();
#ifdef _WIN32
    EXPECT_EQ(snapshot(s.sub("game")), (Tree{{"café.dat", "coffee"}}));
#else
    EXPECT_EQ(snapshot(s.sub("game")), (Tree{{"caf\xE9.dat", "coffee"}}));
#endif
}
