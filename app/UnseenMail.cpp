#include "UnseenMail.h"

bool AddArrivals(UnseenMail& mail, const DigestSet& arrivals, bool looking)
{
    const std::size_t before = mail.unseen.size();
    (looking ? mail.bold : mail.unseen).insert(arrivals.begin(), arrivals.end());
    return mail.unseen.size() > before;
}

void MarkLooked(UnseenMail& mail)
{
    mail.bold.merge(mail.unseen);
    mail.unseen.clear();
}

void MarkSeen(UnseenMail& mail)
{
    mail.unseen.clear();
}

void ForgetBold(UnseenMail& mail)
{
    mail.bold.clear();
}

bool ShownBold(const UnseenMail& mail, const UidDigest& digest)
{
    return mail.bold.contains(digest) || mail.unseen.contains(digest);
}
