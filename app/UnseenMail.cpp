#include "UnseenMail.h"

bool AddArrivals(UnseenMail& mail, const DigestSet& arrivals, bool looking)
{
    const std::size_t before = mail.unseen.size();
    MergeDigests(looking ? mail.bold : mail.unseen, arrivals);
    return mail.unseen.size() > before;
}

void MarkLooked(UnseenMail& mail)
{
    MergeDigests(mail.bold, mail.unseen);
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
    return ContainsDigest(mail.bold, digest) || ContainsDigest(mail.unseen, digest);
}
