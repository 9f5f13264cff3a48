#pragma once

#include "MessageIdentity.h"

#include <cstddef>

// New mail the user has not looked at, kept across checks, and the rows shown bold.
struct UnseenMail {
    DigestSet unseen; // arrived since the user last looked: the count, the picture, the notification
    DigestSet bold;   // shown bold while the window is open: what was unseen when it opened, and since
};

// A check's new messages: unseen while nobody looks, else bold at once. True when the unseen
// count grew, so that the notification has more to say.
bool AddArrivals(UnseenMail& mail, const DigestSet& arrivals, bool looking);
// The user opened the window: what was unseen is shown bold now, and counts no more.
void MarkLooked(UnseenMail& mail);
// "Mark as seen": nothing is unseen, and nothing becomes bold for it.
void MarkSeen(UnseenMail& mail);
// The window was hidden: its rows are plain the next time.
void ForgetBold(UnseenMail& mail);
bool ShownBold(const UnseenMail& mail, const UidDigest& digest);
