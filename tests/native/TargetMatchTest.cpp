// Matching the engine's list against the game directory's inventory, without regard to case.
#include "engine/logic/TargetMatch.h"

#include <gtest/gtest.h>

namespace {

struct Entry {
    std::string path;
    uint64_t size = 0;
};

// Stands in for the system's case mapping: ASCII letters, and "é" (0xE9) to "É" (0xC9).
std::string Fold(std::string_view name) {
    std::string key(name);
    for (char& c : key) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 0x20);
        } else if (c == '\xE9') {
            c = '\xC9';
        }
    }
    return key;
}

bool IsLead932(unsigned char c) {
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

using Texts = std::list<std::string>;

TEST(DistinctNamesTest, KeepsTheFirstSpellingOfNamesEqualWithoutRegardToCase) {
    EXPECT_EQ(DistinctNames({"a.dat", "A.DAT", "b.dat"}, &Fold), (Texts{"a.dat", "b.dat"}));
    EXPECT_EQ(DistinctNames({"B.dat", "caf\xE9", "b.DAT", "CAF\xC9", "e", "\xE8"}, &Fold),
              (Texts{"B.dat", "caf\xE9", "e", "\xE8"}));
    EXPECT_TRUE(DistinctNames({}, &Fold).empty());
}

TEST(MatchTargetsTest, TargetsAgainstOneInventory) {
    const std::string g = "C:\\G";
    const std::vector<Entry> inventory = {{g + "\\readme.txt", 1},
                                          {g + "\\Saves\\README.TXT", 2},
                                          {g + "\\data", 4},
                                          {g + "\\Data\\Maps\\a.map", 8},
                                          {g + "\\x\\a.map", 16},
                                          {g + "\\big", 0x180000000ull},
                                          {g + "\\s\\BIG", 0x180000000ull}};
    struct Row {
        Texts targets;
        Texts entries;
        uint64_t sum;
    };
    const Row rows[] = {
        // A bare name: every file of that name, in inventory order, each size counted.
        {{"Readme.Txt"}, {g + "\\readme.txt", g + "\\Saves\\README.TXT"}, 3},
        {{"big"}, {g + "\\big", g + "\\s\\BIG"}, 0x300000000ull},
        // A file name equal to a folder's name elsewhere is still only a file name.
        {{"DATA"}, {g + "\\data"}, 4},
        // A path holds the one file at that place, without regard to case.
        {{"data\\maps\\A.MAP"}, {g + "\\Data\\Maps\\a.map"}, 8},
        {{"Saves\\readme.txt"}, {g + "\\Saves\\README.TXT"}, 2},
        // Added: a name found nowhere, and a path that holds a known name somewhere else.
        {{"new.dat", "Docs\\readme.txt"},
         {"del /s C:\\G\\.\\new.dat", "del /s C:\\G\\.\\Docs\\readme.txt"},
         0},
        {{"Maps\\a.map"}, {"del /s C:\\G\\.\\Maps\\a.map"}, 0},
        // Grouped by target, in target order.
        {{"a.map", "n.dat", "readme.txt"},
         {g + "\\Data\\Maps\\a.map", g + "\\x\\a.map", "del /s C:\\G\\.\\n.dat", g + "\\readme.txt",
          g + "\\Saves\\README.TXT"},
         27},
        {{}, {}, 0},
    };
    FileNameIndex index;
    IndexInventory(inventory, &Fold, nullptr, index);
    for (const Row& row : rows) {
        Texts out;
        EXPECT_EQ(MatchTargets(row.targets, inventory, index, &Fold, g, nullptr, out), row.sum)
            << row.targets.size();
        EXPECT_EQ(out, row.entries);
    }
}

TEST(MatchTargetsTest, DoubleByteNamesMatchOnWholeCharacters) {
    // One Shift-JIS character whose trail byte has the value of a backslash.
    const std::string so = "\x95\x5C";
    const std::vector<Entry> inventory = {{"C:\\G\\" + so + "a.dat", 11},
                                          {"C:\\G\\" + so + "\\b.dat", 2}};
    FileNameIndex index;
    IndexInventory(inventory, &Fold, &IsLead932, index);
    Texts out;
    EXPECT_EQ(MatchTargets({so + "A.DAT", "a.dat", so + "\\B.DAT"}, inventory, index, &Fold,
                           "C:\\G", &IsLead932, out),
              13u);
    EXPECT_EQ(out, (Texts{"C:\\G\\" + so + "a.dat", "del /s C:\\G\\.\\a.dat",
                          "C:\\G\\" + so + "\\b.dat"}));
}

TEST(FileNameIndexTest, ChainsEveryPositionInOrderAsItGrows) {
    FileNameIndex index;
    EXPECT_EQ(index.First("A"), FileNameIndex::npos);
    const size_t count = 20000;
    for (size_t i = 0; i < count; ++i) {
        index.Add("K" + std::to_string(i % 7001)); // 7,001 keys, each two or three times
    }
    for (size_t k = 0; k < 7001; ++k) {
        std::vector<size_t> seen;
        for (size_t p = index.First("K" + std::to_string(k)); p != FileNameIndex::npos;
             p = index.Next(p)) {
            seen.push_back(p);
        }
        std::vector<size_t> expected;
        for (size_t p = k; p < count; p += 7001) {
            expected.push_back(p);
        }
        ASSERT_EQ(seen, expected) << k;
    }
    EXPECT_EQ(index.First("K7001"), FileNameIndex::npos);
    index.Add("");
    EXPECT_EQ(index.First(""), count); // the empty key is a key like any other
    EXPECT_EQ(index.Size(), count + 1);
    index.Clear();
    EXPECT_EQ(index.First("K1"), FileNameIndex::npos);
}

} // namespace
