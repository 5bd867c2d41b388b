// The batch model: one batch at a time, entries added during a batch converted by it,
// failures gathered into one message.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "convert/batch_queue.h"
#include "convert/command_line.h"

namespace tess {
namespace {

RunResult Ok() { return {}; }

RunResult Failed(std::wstring output, int code = 1) {
    RunResult r;
    r.exitCode = code;
    r.outputWritten = false;
    r.output = std::move(output);
    return r;
}

// The message of the batch's end, as the user is shown it.
std::wstring FinishMessage(BatchQueue& q) { return FailureMessage(q.Finish()); }

// Runs the batch the way a driver does, with the caption it shows for each entry; `run`
// is called for each entry's run.
std::vector<std::wstring> RunBatch(BatchQueue& q, std::vector<std::wstring>* captions = nullptr,
                                   const std::function<RunResult(const BatchEntry&)>& run = {}) {
    std::vector<std::wstring> converted;
    while (auto e = q.NextEntry()) {
        if (captions) captions->push_back(ProgressCaption(e->index, q.Count()));
        converted.push_back(e->path);
        q.RecordResult(run ? run(*e) : Ok());
    }
    return converted;
}

TEST(BatchQueue, ConvertsInOrderAndCountsUp) {
    BatchQueue q;
    q.Add(L"C:\\a\\1.HEIC");
    q.Add(L"C:\\a\\2.HEIC");
    q.Add(L"C:\\a\\3.HEIC");
    ASSERT_TRUE(q.Begin());
    std::vector<std::wstring> captions;
    EXPECT_EQ(RunBatch(q, &captions),
              (std::vector<std::wstring>{L"C:\\a\\1.HEIC", L"C:\\a\\2.HEIC", L"C:\\a\\3.HEIC"}));
    EXPECT_EQ(captions, (std::vector<std::wstring>{L"Converting...1/3", L"Converting...2/3",
                                                   L"Converting...3/3"}));
    EXPECT_EQ(FinishMessage(q), L"");
    EXPECT_EQ(q.Count(), 0u);
    EXPECT_FALSE(q.Running());
}

TEST(BatchQueue, DuplicatesAndFoldersAreEntriesLikeAnyOther) {
    BatchQueue q;
    q.Add(L"C:\\a\\1.HEIC");
    q.Add(L"C:\\a\\1.HEIC");
    q.Add(L"C:\\a\\Trip");
    ASSERT_TRUE(q.Begin());
    EXPECT_EQ(RunBatch(q).size(), 3u);
}

TEST(BatchQueue, DropDuringABatchIsConvertedByIt) {
    BatchQueue q;
    q.Add(L"C:\\a\\1.HEIC");
    q.Add(L"C:\\a\\2.HEIC");
    ASSERT_TRUE(q.Begin());
    std::vector<std::wstring> captions;
    bool dropped = false;
    const auto converted = RunBatch(q, &captions, [&](const BatchEntry&) {
        if (!dropped) {
            // A drop while the first photo converts, and the tick it arms.
            q.Add(L"C:\\b\\3.HEIC");
            q.Add(L"C:\\b\\4.HEIC");
            EXPECT_FALSE(q.Begin());
            dropped = true;
        }
        return Ok();
    });
    EXPECT_EQ(converted, (std::vector<std::wstring>{L"C:\\a\\1.HEIC", L"C:\\a\\2.HEIC",
                                                    L"C:\\b\\3.HEIC", L"C:\\b\\4.HEIC"}));
    // The denominator grows with the list.
    EXPECT_EQ(captions, (std::vector<std::wstring>{L"Converting...1/2", L"Converting...2/4",
                                                   L"Converting...3/4", L"Converting...4/4"}));
    EXPECT_EQ(FinishMessage(q), L"");
    EXPECT_EQ(q.Count(), 0u);
}

TEST(BatchQueue, EmptyBatchStillEnds) {
    BatchQueue q;
    ASSERT_TRUE(q.Begin());
    EXPECT_FALSE(q.NextEntry().has_value());
    EXPECT_EQ(FinishMessage(q), L"");
    EXPECT_FALSE(q.Running());
    EXPECT_TRUE(q.Begin());  // and the next one may start
}

TEST(BatchQueue, NothingIsHandedOutOutsideABatch) {
    BatchQueue q;
    q.Add(L"C:\\a\\1.HEIC");
    EXPECT_FALSE(q.NextEntry().has_value());
    EXPECT_EQ(FinishMessage(q), L"");
    EXPECT_EQ(q.Count(), 1u);  // waits for its batch
}

TEST(BatchQueue, EndingEarlyKeepsWhatWasNotConverted) {
    BatchQueue q;
    q.Add(L"C:\\a\\1.HEIC");
    q.Add(L"C:\\a\\2.HEIC");
    ASSERT_TRUE(q.Begin());
    ASSERT_TRUE(q.NextEntry().has_value());
    q.RecordResult(Ok());
    q.Finish();
    ASSERT_EQ(q.Count(), 1u);
    ASSERT_TRUE(q.Begin());
    auto e = q.NextEntry();
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->index, 0u);
    EXPECT_EQ(e->path, L"C:\\a\\2.HEIC");
}

TEST(BatchQueue, OutputNamesAreDistinctWithinABatchOnly) {
    BatchQueue q;
    ASSERT_TRUE(q.Begin());
    EXPECT_EQ(q.Names().ClaimOutput(L"C:\\output", L"IMG_1", L"JPG").baseName, L"IMG_1");
    EXPECT_EQ(q.Names().ClaimOutput(L"C:\\output", L"IMG_1", L"JPG").baseName, L"IMG_1 (2)");
    q.Finish();
    // The next batch overwrites what the last one left.
    ASSERT_TRUE(q.Begin());
    EXPECT_EQ(q.Names().ClaimOutput(L"C:\\output", L"IMG_1", L"JPG").baseName, L"IMG_1");
}

TEST(BatchQueue, ScratchNameClaimedBeforeTheBatchBelongsToIt) {
    BatchQueue q;
    const ClaimedName copy = q.Names().ClaimScratch(L"20261207-175036", L"HEIC");
    q.Add(copy.path, L"C:\\写真\\旅行.HEIC");
    ASSERT_TRUE(q.Begin());
    EXPECT_EQ(q.Names().ClaimScratch(L"20261207-175036", L"HEIC").baseName,
              L"20261207-175036 (2)");
}

TEST(FailureReason, SaysWhyInOneLine) {
    EXPECT_EQ(FailureReason(Ok()), L"");
    RunResult notStarted;
    notStarted.started = false;
    notStarted.outputWritten = false;
    EXPECT_EQ(FailureReason(notStarted), L"could not start");
    EXPECT_EQ(FailureReason(Failed(L"", 3)), L"exited with code 3");
    EXPECT_EQ(FailureReason(Failed(L"", -1)), L"exited with code -1");
    RunResult silent;  // exit code 0 but nothing written
    silent.exitCode = 0;
    silent.outputWritten = false;
    EXPECT_EQ(FailureReason(silent), L"produced no output file");
    RunResult unknownCode;  // the runner could not tell the exit code
    unknownCode.outputWritten = false;
    EXPECT_EQ(FailureReason(unknownCode), L"produced no output file");
    // The converter's own words win, joined onto one line.
    EXPECT_EQ(FailureReason(Failed(L"convert: cannot read\r\n  \r\n\tIMG_1.HEIC: not a photo\r\n")),
              L"convert: cannot read IMG_1.HEIC: not a photo");
    // Output of a run that succeeded (warnings) is no failure.
    RunResult warned = Ok();
    warned.exitCode = 0;
    warned.output = L"warning: unknown tag";
    EXPECT_EQ(FailureReason(warned), L"");
}

TEST(FailureReason, VeryLongOutputIsCut) {
    const std::wstring reason = FailureReason(Failed(std::wstring(5000, L'x')));
    EXPECT_EQ(reason.size(), 300u);
    EXPECT_EQ(reason.substr(297), L"...");
}

TEST(BatchQueue, FailuresMakeOneMessageNamingEachFailedPhoto) {
    BatchQueue q;
    q.Add(L"C:\\a\\IMG_1.HEIC");
    q.Add(L"C:\\a\\IMG_2_FAIL.HEIC");
    q.Add(L"C:\\a\\IMG_3.HEIC");
    q.Add(L"C:\\a\\Trip");
    ASSERT_TRUE(q.Begin());
    const auto converted = RunBatch(q, nullptr, [](const BatchEntry& e) {
        if (e.index == 1) return Failed(L"convert: no decoder for this file\r\n", 2);
        if (e.index == 3) return Failed(L"", 1);
        return Ok();
    });
    EXPECT_EQ(converted.size(), 4u);  // the rest still converted
    EXPECT_EQ(FinishMessage(q),
              L"2 of 4 photos could not be converted:\r\n"
              L"IMG_2_FAIL.HEIC: convert: no decoder for this file\r\n"
              L"Trip: exited with code 1");
}

// The count is of photos, not of converter runs: a photo given twice is one photo.
TEST(BatchQueue, EachFailedPhotoIsNamedAndCountedOnce) {
    BatchQueue q;
    q.Add(L"C:\\a\\IMG_1.HEIC");
    q.Add(L"C:\\a\\img_1.heic");  // the same file given twice
    ASSERT_TRUE(q.Begin());
    while (q.NextEntry()) {
        q.RecordResult(Failed(L"first try"));
        q.RecordResult(Failed(L"broken"));  // a second report for one entry replaces the first
    }
    EXPECT_EQ(FinishMessage(q), L"1 of 1 photo could not be converted:\r\nIMG_1.HEIC: broken");

    q.Add(L"C:\\a\\IMG_2.HEIC");
    q.Add(L"C:\\a\\IMG_3.HEIC");
    q.Add(L"C:\\a\\IMG_2.HEIC");
    q.Add(L"C:\\a\\IMG_3.HEIC");
    ASSERT_TRUE(q.Begin());
    RunBatch(q, nullptr, [](const BatchEntry& e) { return e.path.find(L"IMG_3") != std::wstring::npos ? Failed(L"broken") : Ok(); });
    const BatchOutcome outcome = q.Finish();
    EXPECT_EQ(outcome.photos, 2u);
    EXPECT_EQ(FailureMessage(outcome), L"1 of 2 photos could not be converted:\r\nIMG_3.HEIC: broken");
}

TEST(BatchQueue, ReportLaterSuccessClearsTheFailureOfThatEntry) {
    BatchQueue q;
    q.Add(L"C:\\a\\IMG_1.HEIC");
    ASSERT_TRUE(q.Begin());
    ASSERT_TRUE(q.NextEntry());
    q.RecordResult(Failed(L"broken"));
    q.RecordResult(Ok());
    EXPECT_EQ(FinishMessage(q), L"");
}

TEST(BatchQueue, ScratchCopyIsNamedAsTheUserKnowsIt) {
    BatchQueue q;
    q.Add(L"c:\\tmp\\20261207-175036.HEIC", L"C:\\写真\\旅行.HEIC");
    ASSERT_TRUE(q.Begin());
    RunBatch(q, nullptr, [](const BatchEntry&) { return Failed(L"convert: bad file"); });
    EXPECT_EQ(FinishMessage(q), L"1 of 1 photo could not be converted:\r\n旅行.HEIC: convert: bad file");
}

TEST(BatchQueue, FailuresDoNotCarryIntoTheNextBatch) {
    BatchQueue q;
    q.Add(L"C:\\a\\IMG_1.HEIC");
    ASSERT_TRUE(q.Begin());
    RunBatch(q, nullptr, [](const BatchEntry&) { return Failed(L"broken"); });
    EXPECT_NE(FinishMessage(q), L"");
    q.Add(L"C:\\a\\IMG_2.HEIC");
    ASSERT_TRUE(q.Begin());
    RunBatch(q);
    EXPECT_EQ(FinishMessage(q), L"");
}

TEST(FailureMessage, NamesFoldersAndDriveRootsToo) {
    EXPECT_EQ(FailureMessage(BatchOutcome{3, {}}), L"");
    EXPECT_EQ(FailureMessage(BatchOutcome{2, {{L"D:\\", L"could not start"}, {L"Trip.x", L"r"}}}),
              L"2 of 2 photos could not be converted:\r\nD:\\: could not start\r\nTrip.x: r");
}

std::vector<std::wstring> Lines(const std::wstring& text) {
    std::vector<std::wstring> lines;
    for (std::size_t at = 0; at <= text.size();) {
        const std::size_t end = std::min(text.find(L"\r\n", at), text.size());
        lines.push_back(text.substr(at, end - at));
        at = end + 2;
    }
    return lines;
}

// However many photos fail, and however long their reasons, the message keeps to a few
// short lines; the whole list, with every photo's full path, is for the file.
TEST(FailureMessage, StaysShortAtAnyCountAndTheListHoldsEveryPhoto) {
    const std::wstring listPath = L"C:\\output\\Photos not converted.txt";
    for (std::size_t failed : {1u, 10u, 11u, 100u, 500u}) {
        SCOPED_TRACE(failed);
        BatchOutcome outcome{500, {}};
        for (std::size_t i = 0; i < failed; ++i)
            outcome.failures.push_back({L"C:\\in\\photo " + std::to_wstring(i) + L".HEIC",
                                        L"convert: " + std::wstring(300, L'x')});
        const std::vector<std::wstring> lines = Lines(FailureMessage(outcome, listPath));
        EXPECT_EQ(lines.front(), std::to_wstring(failed) + L" of 500 photos could not be converted:");
        EXPECT_LE(lines.size(), 1 + kShownFailures + 3);
        for (const std::wstring& line : lines) EXPECT_LE(line.size(), kShownLineLength);
        EXPECT_EQ(lines.at(1).rfind(L"photo 0.HEIC: convert: xxx", 0), 0u);

        EXPECT_EQ(NeedsFailureList(outcome), failed > kShownFailures);
        if (failed > kShownFailures) {
            EXPECT_EQ(lines.at(kShownFailures + 1), L"\u2026 and " + std::to_wstring(failed - kShownFailures) + L" more.");
            EXPECT_EQ(lines.back(), L"The whole list is in " + listPath);
        } else {
            EXPECT_EQ(lines.size(), 1 + failed);
        }

        const std::vector<std::wstring> list = Lines(FailureList(outcome));
        ASSERT_EQ(list.size(), failed + 2);  // the heading, every photo, and the last line's end
        EXPECT_EQ(list.front(), lines.front());
        EXPECT_EQ(list.back(), L"");
        for (std::size_t i = 0; i < failed; ++i)
            EXPECT_EQ(list[i + 1], outcome.failures[i].photo + L": " + outcome.failures[i].reason);
    }
    // Without a file to point to, the message still says how many more there are.
    BatchOutcome many{20, std::vector<Failure>(20, Failure{L"C:\\a.HEIC", L"r"})};
    const std::wstring text = FailureMessage(many);
    EXPECT_NE(text.find(L"\u2026 and 10 more."), std::wstring::npos);
    EXPECT_EQ(text.find(L"whole list"), std::wstring::npos);
}

}  // namespace
}  // namespace tess
