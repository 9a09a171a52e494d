// Matching the engine's list against the game directory's inventory, without regard to case.
#include "engine/logic/TargetMatch.h"

#include <gtest/gtest.h>

#include <random>

namespace {

struct Entry {
    std::string path;
    uint64_t size = 0;
};

// Case folding of Windows code page 1252: ASCII letters, the accented Latin-1 letters and
// the three pairs at 0x8A/0x9A, 0x8C/0x9C, 0x8E/0x9E, with 0xFF folding to 0x9F.
std::string Fold1252(std::string_view name) {
    std::string key(name);
    for (char& ch : key) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c >= 'a' && c <= 'z') {
            c = static_cast<unsigned char>(c - 0x20);
        } else if (c >= 0xE0 && c <= 0xFE && c != 0xF7) {
            c = static_cast<unsigned char>(c - 0x20);
        } else if (c == 0x9A || c == 0x9C || c == 0x9E) {
            c = static_cast<unsigned char>(c - 0x10);
        } else if (c == 0xFF) {
            c = 0x9F;
        }
        ch = static_cast<char>(c);
    }
    return key;
}

// Shift-JIS lead bytes.
bool IsLead932(unsigned char c) {
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

// Folds ASCII letters outside double-byte characters only (a trail byte may look like one).
std::string Fold932(std::string_view name) {
    std::string key(name);
    for (size_t i = 0; i < key.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(key[i]);
        if (IsLead932(c) && i + 1 < key.size()) {
            ++i;
        } else if (c >= 'a' && c <= 'z') {
            key[i] = static_cast<char>(c - 0x20);
        }
    }
    return key;
}

const NameKeyFn kKey = &Fold1252;

struct Outcome {
    std::list<std::string> entries;
    uint64_t sum = 0;
};

Outcome Match(const std::list<std::string>& targets, const std::vector<Entry>& inventory,
              const std::string& gameDir, const NameKeyFn& key = kKey,
              LeadBytePredicate lead = nullptr) {
    FileNameIndex index;
    IndexInventory(inventory, key, lead, index);
    Outcome o;
    o.sum = MatchTargets(targets, inventory, index, key, gameDir, o.entries);
    return o;
}

// The matching written as plain nested loops: every target against every file.
Outcome MatchByNestedLoops(const std::list<std::string>& targets,
                           const std::vector<Entry>& inventory, const std::string& gameDir,
                           const NameKeyFn& key, LeadBytePredicate lead) {
    Outcome o;
    for (const std::string& target : targets) {
        bool found = false;
        for (const Entry& e : inventory) {
            if (key(FileNameOfPath(e.path, lead)) == key(target)) {
                o.entries.push_back(e.path);
                o.sum += e.size;
                found = true;
            }
        }
        if (!found) {
            o.entries.push_back(RemovalLine(gameDir, target));
        }
    }
    return o;
}

std::list<std::string> DistinctByNestedLoops(const std::list<std::string>& names,
                                             const NameKeyFn& key) {
    std::list<std::string> kept;
    for (const std::string& name : names) {
        bool present = false;
        for (const std::string& k : kept) {
            present = present || key(k) == key(name);
        }
        if (!present) {
            kept.push_back(name);
        }
    }
    return kept;
}

using Texts = std::list<std::string>;

TEST(DistinctNamesTest, KeepsTheFirstSpellingOfNamesThatDifferOnlyInCase) {
    EXPECT_EQ(DistinctNames({"a.dat", "A.DAT", "b.dat"}, kKey), (Texts{"a.dat", "b.dat"}));
    EXPECT_EQ(DistinctNames({"B.dat", "a.dat", "b.DAT", "A.dat", "c"}, kKey),
              (Texts{"B.dat", "a.dat", "c"}));
}

TEST(DistinctNamesTest, FoldsAccentedLettersAsTheCodePageDoes) {
    // "é" (0xE9) and "É" (0xC9), "š" (0x9A) and "Š" (0x8A) are the same letters.
    EXPECT_EQ(DistinctNames({"caf\xE9.dat", "CAF\xC9.DAT", "\x9A.x", "\x8A.X"}, kKey),
              (Texts{"caf\xE9.dat", "\x9A.x"}));
    // Different letters stay apart even where ASCII-only folding would not tell.
    EXPECT_EQ(DistinctNames({"\xE9", "\xE8", "e"}, kKey), (Texts{"\xE9", "\xE8", "e"}));
}

TEST(DistinctNamesTest, EmptyListingGivesNoTargets) {
    EXPECT_TRUE(DistinctNames({}, kKey).empty());
}

TEST(MatchTargetsTest, NameFoundTwiceGivesBothEntriesInInventoryOrderAndBothSizes) {
    const std::vector<Entry> inventory = {
        {"C:\\G\\main.zip", 100}, {"C:\\G\\other.bin", 7}, {"C:\\G\\Data\\MAIN.ZIP", 50}};
    Outcome o = Match({"Main.Zip"}, inventory, "C:\\G");
    EXPECT_EQ(o.entries, (Texts{"C:\\G\\main.zip", "C:\\G\\Data\\MAIN.ZIP"}));
    EXPECT_EQ(o.sum, 150u);
}

TEST(MatchTargetsTest, EntriesAreGroupedByTargetInTargetOrder) {
    const std::vector<Entry> inventory = {
        {"C:\\G\\b.dat", 1}, {"C:\\G\\a.dat", 2}, {"C:\\G\\x\\b.dat", 4}, {"C:\\G\\x\\a.dat", 8}};
    Outcome o = Match({"a.dat", "new.dat", "b.dat"}, inventory, "C:\\G");
    EXPECT_EQ(o.entries, (Texts{"C:\\G\\a.dat", "C:\\G\\x\\a.dat", "del /s C:\\G\\.\\new.dat",
                                "C:\\G\\b.dat", "C:\\G\\x\\b.dat"}));
    EXPECT_EQ(o.sum, 15u);
}

TEST(MatchTargetsTest, TargetFoundNowhereGivesTheRemovalLine) {
    Outcome o =
        Match({"new.dat"}, {{"C:\\Games\\Tarrowmoor\\old.dat", 9}}, "C:\\Games\\Tarrowmoor");
    EXPECT_EQ(o.entries, (Texts{"del /s C:\\Games\\Tarrowmoor\\.\\new.dat"}));
    EXPECT_EQ(o.sum, 0u);
}

TEST(MatchTargetsTest, OnlyTheFileNameIsCompared) {
    // A file name that equals a folder name elsewhere, or a target holding a folder.
    const std::vector<Entry> inventory = {{"C:\\G\\data\\x.dat", 3}, {"C:\\G\\data", 5}};
    Outcome o = Match({"DATA", "data\\x.dat"}, inventory, "C:\\G");
    EXPECT_EQ(o.entries, (Texts{"C:\\G\\data", "del /s C:\\G\\.\\data\\x.dat"}));
    EXPECT_EQ(o.sum, 5u);
}

TEST(MatchTargetsTest, SizesBeyondFourGigabytesAddUp) {
    const std::vector<Entry> inventory = {{"C:\\G\\a", 0x180000000ull},
                                          {"C:\\G\\s\\A", 0x180000000ull}};
    EXPECT_EQ(Match({"a"}, inventory, "C:\\G").sum, 0x300000000ull);
}

TEST(MatchTargetsTest, DoubleByteNamesMatchOnWholeCharacters) {
    // One Shift-JIS character whose trail byte has the value of a backslash.
    const std::string so = "\x95\x5C";
    const std::vector<Entry> inventory = {{"C:\\G\\" + so + "a.dat", 11}, {"C:\\G\\" + so, 2}};
    Outcome o = Match({so + "A.DAT", "a.dat"}, inventory, "C:\\G", &Fold932, &IsLead932);
    EXPECT_EQ(o.entries, (Texts{"C:\\G\\" + so + "a.dat", "del /s C:\\G\\.\\a.dat"}));
    EXPECT_EQ(o.sum, 11u);
}

TEST(RemovalLineTest, GameDirectoryDotAndNameWithoutQuotes) {
    EXPECT_EQ(RemovalLine("C:\\Games\\Tarrowmoor", "new.dat"),
              "del /s C:\\Games\\Tarrowmoor\\.\\new.dat");
    EXPECT_EQ(RemovalLine("C:\\Program Files\\Tarrowmoor", "a b.dat"),
              "del /s C:\\Program Files\\Tarrowmoor\\.\\a b.dat");
    EXPECT_EQ(RemovalLine("C:\\G", "Data\\new.dat"), "del /s C:\\G\\.\\Data\\new.dat");
}

TEST(MatchTargetsTest, OnlyAddedFilesGiveOnlyRemovalLinesAndNoSpace) {
    Outcome o = Match({"n1.dat", "n2.dat"}, {{"C:\\G\\old.dat", 40}}, "C:\\G");
    EXPECT_EQ(o.entries, (Texts{"del /s C:\\G\\.\\n1.dat", "del /s C:\\G\\.\\n2.dat"}));
    EXPECT_EQ(o.sum, 0u);
}

TEST(MatchTargetsTest, NoTargetsGiveNothing) {
    Outcome o = Match({}, {{"C:\\G\\old.dat", 40}}, "C:\\G");
    EXPECT_TRUE(o.entries.empty());
    EXPECT_EQ(o.sum, 0u);
}

// Random listings and inventories over a small alphabet, so that names often collide in
// every spelling: the index gives exactly what the nested loops give.
TEST(MatchTargetsTest, EqualsTheNestedLoopsOnRandomTrees) {
    std::mt19937 rng(20240611);
    const std::string letters = "aAbB\xE9\xC9";
    auto randomName = [&](int maxLength) {
        std::string name;
        const int length = 1 + static_cast<int>(rng() % static_cast<unsigned>(maxLength));
        for (int i = 0; i < length; ++i) {
            name.push_back(letters[rng() % letters.size()]);
        }
        return name;
    };
    size_t matchedEntries = 0;
    size_t removalLines = 0;
    for (int round = 0; round < 200; ++round) {
        std::vector<Entry> inventory;
        const int files = static_cast<int>(rng() % 60);
        for (int i = 0; i < files; ++i) {
            std::string path = "C:\\Game";
            const int depth = static_cast<int>(rng() % 3);
            for (int d = 0; d < depth; ++d) {
                path += "\\" + randomName(2);
            }
            inventory.push_back({path + "\\" + randomName(3), rng() % 1000});
        }
        std::list<std::string> listing;
        const int names = static_cast<int>(rng() % 30);
        for (int i = 0; i < names; ++i) {
            listing.push_back(rng() % 8 == 0 ? randomName(2) + "\\" + randomName(2)
                                             : randomName(3));
        }
        const Texts targets = DistinctNames(listing, kKey);
        ASSERT_EQ(targets, DistinctByNestedLoops(listing, kKey));
        const Outcome fast = Match(targets, inventory, "C:\\Game");
        const Outcome slow = MatchByNestedLoops(targets, inventory, "C:\\Game", kKey, nullptr);
        ASSERT_EQ(fast.entries, slow.entries) << "round " << round;
        ASSERT_EQ(fast.sum, slow.sum) << "round " << round;
        for (const std::string& entry : fast.entries) {
            (entry.find("del /s") == std::string::npos ? matchedEntries : removalLines)++;
        }
    }
    // The trees really exercise both outcomes.
    EXPECT_GT(matchedEntries, 1000u);
    EXPECT_GT(removalLines, 300u);
}

TEST(FileNameIndexTest, ChainsPositionsInOrder) {
    FileNameIndex index;
    for (const char* key : {"A", "B", "A", "C", "A"}) {
        index.Add(key);
    }
    std::vector<size_t> seen;
    for (size_t p = index.First("A"); p != FileNameIndex::npos; p = index.Next(p)) {
        seen.push_back(p);
    }
    EXPECT_EQ(seen, (std::vector<size_t>{0, 2, 4}));
    EXPECT_EQ(index.First("D"), FileNameIndex::npos);
    EXPECT_EQ(index.Size(), 5u);
    index.Clear();
    EXPECT_EQ(index.First("A"), FileNameIndex::npos);
}

TEST(FileNameIndexTest, GrowsWithoutReserveAndKeepsEveryChain) {
    FileNameIndex index;
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
    EXPECT_EQ(index.First(""), FileNameIndex::npos);
    index.Add("");
    EXPECT_EQ(index.First(""), count); // the empty key is a key like any other
}

TEST(FileNameIndexTest, EmptyIndexFindsNothing) {
    FileNameIndex index;
    EXPECT_EQ(index.First("A"), FileNameIndex::npos);
    index.Reserve(0);
    EXPECT_EQ(index.First("A"), FileNameIndex::npos);
}

} // namespace
