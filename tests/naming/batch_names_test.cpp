// Distinct output and scratch-copy names within one batch, and how a dropped or chosen
// entry is turned into the files the converter reads and writes.
#include <gtest/gtest.h>

#include "convert/batch_names.h"
#include "convert/entry_plan.h"

namespace tess {
namespace {

LocalTime FixedClock() { return {2026, 12, 7, 17, 50, 36}; }

TEST(BatchNames, EqualOutputPathsGetNumberedSuffixes) {
    BatchNames names;
    EXPECT_EQ(names.ClaimOutput(L"C:\\output", L"IMG_1", L"JPG").path, L"C:\\output\\IMG_1.JPG");
    const ClaimedName second = names.ClaimOutput(L"C:\\output", L"IMG_1", L"JPG");
    EXPECT_EQ(second.baseName, L"IMG_1 (2)");
    EXPECT_EQ(second.path, L"C:\\output\\IMG_1 (2).JPG");
    EXPECT_EQ(names.ClaimOutput(L"C:\\output", L"IMG_1", L"JPG").path,
              L"C:\\output\\IMG_1 (3).JPG");
}

TEST(BatchNames, ComparesLikeWindowsFileNames) {
    BatchNames names;
    names.ClaimOutput(L"C:\\output", L"IMG_1", L"JPG");
    EXPECT_EQ(names.ClaimOutput(L"c:\\OUTPUT", L"img_1", L"JPG").baseName, L"img_1 (2)");
    names.ClaimOutput(L"C:\\output", L"Été", L"JPG");
    EXPECT_EQ(names.ClaimOutput(L"C:\\output", L"éTÉ", L"JPG").baseName, L"éTÉ (2)");
    names.ClaimOutput(L"C:\\output", L"Žluť", L"JPG");
    EXPECT_EQ(names.ClaimOutput(L"C:\\output", L"žLUŤ", L"JPG").baseName, L"žLUŤ (2)");
    names.ClaimOutput(L"C:\\output", L"Фото", L"JPG");
    EXPECT_EQ(names.ClaimOutput(L"C:\\output", L"фото", L"JPG").baseName, L"фото (2)");
}

TEST(BatchNames, DifferentFolderOrFormatIsNoCollision) {
    BatchNames names;
    names.ClaimOutput(L"C:\\output", L"IMG_1", L"JPG");
    EXPECT_EQ(names.ClaimOutput(L"C:\\output", L"IMG_1", L"PNG").baseName, L"IMG_1");
    EXPECT_EQ(names.ClaimOutput(L"D:\\other", L"IMG_1", L"JPG").baseName, L"IMG_1");
    EXPECT_EQ(names.ClaimOutput(L"C:\\output", L"IMG_10", L"JPG").baseName, L"IMG_10");
}

TEST(BatchNames, SuffixedNameGivenLaterStillGetsItsOwnFile) {
    BatchNames names;
    names.ClaimOutput(L"C:\\output", L"IMG_1", L"JPG");
    names.ClaimOutput(L"C:\\output", L"IMG_1", L"JPG");  // IMG_1 (2)
    EXPECT_EQ(names.ClaimOutput(L"C:\\output", L"IMG_1 (2)", L"JPG").baseName, L"IMG_1 (2) (2)");
    EXPECT_EQ(names.ClaimOutput(L"C:\\output", L"IMG_1", L"JPG").baseName, L"IMG_1 (3)");
}

TEST(BatchNames, ClearStartsANewBatch) {
    BatchNames names;
    names.ClaimOutput(L"C:\\output", L"IMG_1", L"JPG");
    names.ClaimScratch(L"x", L"HEIC");
    names.Clear();
    EXPECT_EQ(names.ClaimOutput(L"C:\\output", L"IMG_1", L"JPG").baseName, L"IMG_1");
    EXPECT_EQ(names.ClaimScratch(L"x", L"HEIC").path, L"c:\\tmp\\x.HEIC");
}

TEST(BatchNames, ScratchCopiesInOneSecondDoNotOverwriteEachOther) {
    BatchNames names;
    const ClaimedName a = ClaimScratchCopy(L"C:\\写真\\旅行.HEIC", names, Windows1252(), FixedClock);
    const ClaimedName b = ClaimScratchCopy(L"D:\\写真\\家族.heic", names, Windows1252(), FixedClock);
    const ClaimedName c = ClaimScratchCopy(L"D:\\写真\\夏.HEIC", names, Windows1252(), FixedClock);
    EXPECT_EQ(a.path, L"c:\\tmp\\20261207-175036.HEIC");
    EXPECT_EQ(b.path, L"c:\\tmp\\20261207-175036 (2).heic");
    EXPECT_EQ(c.path, L"c:\\tmp\\20261207-175036 (3).HEIC");  // HEIC and heic are one name
}

TEST(EntryPlan, DroppedPathInTheCodePageIsConvertedWhereItLies) {
    BatchNames names;
    const EntryPlan p = PlanDroppedEntry(L"C:\\Photos\\Été:1.HEIC", L"C:\\output", L"JPG", names,
                                         Windows1252(), FixedClock);
    EXPECT_TRUE(p.copyFrom.empty());
    EXPECT_EQ(p.inputPath, L"C:\\Photos\\Été:1.HEIC");
    EXPECT_EQ(p.outputBaseName, L"Été 1");
    EXPECT_EQ(p.outputPath, L"C:\\output\\Été 1.JPG");
}

TEST(EntryPlan, DroppedPathOutsideTheCodePageGoesThroughAScratchCopy) {
    BatchNames names;
    const EntryPlan a = PlanDroppedEntry(L"C:\\写真\\旅行.HEIC", L"C:\\output", L"JPG", names,
                                         Windows1252(), FixedClock);
    EXPECT_EQ(a.copyFrom, L"C:\\写真\\旅行.HEIC");
    EXPECT_EQ(a.inputPath, L"c:\\tmp\\20261207-175036.HEIC");
    EXPECT_EQ(a.outputPath, L"C:\\output\\20261207-175036.JPG");

    // A second one in the same second: its own copy and its own output.
    const EntryPlan b = PlanDroppedEntry(L"C:\\写真\\家族.HEIC", L"C:\\output", L"JPG", names,
                                         Windows1252(), FixedClock);
    EXPECT_EQ(b.inputPath, L"c:\\tmp\\20261207-175036 (2).HEIC");
    EXPECT_EQ(b.outputBaseName, L"20261207-175036 (2)");

    // Only the folder is outside the code page: the name itself is kept.
    const EntryPlan c = PlanDroppedEntry(L"C:\\写真\\IMG_5.HEIC", L"C:\\output", L"PNG", names,
                                         Windows1252(), FixedClock);
    EXPECT_EQ(c.inputPath, L"c:\\tmp\\IMG_5.HEIC");
    EXPECT_EQ(c.outputPath, L"C:\\output\\IMG_5.PNG");
}

TEST(EntryPlan, DroppedFileOrFolderWithoutDotIsNamedByTimestamp) {
    BatchNames names;
    const EntryPlan p = PlanDroppedEntry(L"C:\\Photos\\Trip", L"C:\\output", L"JPG", names,
                                         Windows1252(), FixedClock);
    EXPECT_EQ(p.inputPath, L"C:\\Photos\\Trip");
    EXPECT_EQ(p.outputPath, L"C:\\output\\20261207-175036.JPG");
}

TEST(EntryPlan, TwoDroppedFilesOfOneNameFromTwoFolders) {
    BatchNames names;
    const EntryPlan a = PlanDroppedEntry(L"C:\\a\\IMG_1.HEIC", L"C:\\output", L"JPG", names,
                                         Windows1252(), FixedClock);
    const EntryPlan b = PlanDroppedEntry(L"C:\\b\\IMG_1.HEIC", L"C:\\output", L"JPG", names,
                                         Windows1252(), FixedClock);
    EXPECT_EQ(a.outputPath, L"C:\\output\\IMG_1.JPG");
    EXPECT_EQ(b.outputPath, L"C:\\output\\IMG_1 (2).JPG");
}

TEST(EntryPlan, DialogEntryKeepsItsBaseNameUncleaned) {
    BatchNames names;
    const EntryPlan p = PlanDialogEntry(L"C:\\Photos\\IMG_0001.HEIC", L"C:\\output", L"JPG", names);
    EXPECT_TRUE(p.copyFrom.empty());
    EXPECT_EQ(p.outputPath, L"C:\\output\\IMG_0001.JPG");
    // A chosen file without "." used directly: an output called ".JPG", as before.
    EXPECT_EQ(PlanDialogEntry(L"C:\\Photos\\README", L"C:\\output", L"JPG", names).outputPath,
              L"C:\\output\\.JPG");
    // The scratch copy "name." of such a file still names its output.
    EXPECT_EQ(PlanDialogEntry(L"c:\\tmp\\README.", L"C:\\output", L"JPG", names).outputPath,
              L"C:\\output\\README.JPG");
}

}  // namespace
}  // namespace tess
