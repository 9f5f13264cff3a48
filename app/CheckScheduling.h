#pragma once

#include "Application.h"
#include "SettingsModel.h"
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
    bool isNew = false;
};

// The count label and list rows of a finished check, highest message number first.
struct ResultView {
    std::uint64_t count = 0;
    std::vector<ResultRow> rows;
};
ResultView BuildResultView(Application& app);
// The seen digests as the UIDList value holds them; copied under the results lock, so never
// while a finishing check replaces them, and written without it.
std::string SeenListValue(Application& app);
// Adds the digests read from the store to those of the checks.
void AddSeenDigests(Application& app, DigestSet&& digests);
// The count alone, without copying the rows.
std::uint64_t CountMessages(Application& app);
// The rows of the messages that were new at the last check, highest number first: their
// count, and at most limit of them.
std::vector<ResultRow> NewestNewRows(Application& app, std::size_t limit, std::size_t& newCount);
