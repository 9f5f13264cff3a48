#pragma once

#include "Application.h"
#include "SettingsModel.h"
#include "UnseenMail.h"
#include "WorkerThread.h"

#include <cstdint>
#include <string>
#include <vector>

// Stops any running check, passes the dial-up gate when the settings ask for it, then starts a
// worker on these settings; false when the closed gate kept it from starting.
bool StartCheck(Application& app, const Settings& settings);
// Ends the running worker: StopEvent, a wait of at most StopWaitMs, abandon if need be.
void StopCheck(Application& app);

struct ResultRow {
    std::string from;
    std::string subject;
    bool isNew = false; // shown bold: arrived since the user last looked
};

// The count label and list rows of a finished check, highest message number first.
struct ResultView {
    std::uint64_t count = 0;
    std::vector<ResultRow> rows;
};
ResultView BuildResultView(Application& app, const UnseenMail& mail);
// The seen digests as the UIDList value holds them; copied under the results lock, so never
// while a finishing check replaces them, and written without it.
std::string SeenListValue(Application& app);
// Adds the digests read from the store to those of the checks.
void AddSeenDigests(Application& app, DigestSet&& digests);
// The count alone, without copying the rows.
std::uint64_t CountMessages(Application& app);
// The digests of the messages that were new at the last check.
DigestSet NewDigests(Application& app);
// At most limit rows of the messages whose digests are among these, highest number first.
std::vector<ResultRow> NewestRowsAmong(Application& app, const DigestSet& among, std::size_t limit);
