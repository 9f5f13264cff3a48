#include "PasswordKeyring.h"

#include <qt6keychain/keychain.h>

#include <QEventLoop>
#include <QFileInfo>
#include <QTimer>

#include <memory>

namespace {

const char* const Service = "Postbell";
const char* const Key = "password";
// A keyring that asks the user to unlock it may take this long to answer.
constexpr int KeyringTimeLimitMs = 60000;

struct Outcome {
    bool finished = false;
    QKeychain::Error error = QKeychain::OtherError;
    QString password;
};

// Runs the job to its end or the time limit. The job deletes itself when it finishes, so
// one that outlives the limit is left to end on its own.
template <typename JobType>
Outcome RunJob(JobType* job)
{
    auto outcome = std::make_shared<Outcome>();
    QEventLoop loop;
    QObject::connect(job, &QKeychain::Job::finished, &loop, [outcome, &loop](QKeychain::Job* done) {
        outcome->finished = true;
        outcome->error = done->error();
        if (auto* read = qobject_cast<QKeychain::ReadPasswordJob*>(done))
            outcome->password = read->textData();
        loop.quit();
    });
    QTimer::singleShot(KeyringTimeLimitMs, &loop, &QEventLoop::quit);
    job->setAutoDelete(true);
    job->setInsecureFallback(false); // the fallback is the store, as before, not a second file
    job->setKey(QLatin1String(Key));
    job->start();
    if (!outcome->finished)
        loop.exec();
    return *outcome;
}

// Where no session bus is announced, asking would make D-Bus start a bus of its own for
// the X display, which outlives the program; without one there is no keyring to ask.
bool SessionBusGiven()
{
    if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        return true;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return !runtime.isEmpty() && QFileInfo::exists(runtime + QLatin1String("/bus"));
}

Outcome ReadPassword()
{
    return RunJob(new QKeychain::ReadPasswordJob(QLatin1String(Service)));
}

} // namespace

void AskKeyringAvailable(QObject* context, std::function<void(bool available)> answer)
{
    if (!SessionBusGiven()) {
        QTimer::singleShot(0, context, [answer = std::move(answer)] { answer(false); });
        return;
    }
    auto* job = new QKeychain::ReadPasswordJob(QLatin1String(Service));
    QObject::connect(job, &QKeychain::Job::finished, context, [answer = std::move(answer)](QKeychain::Job* done) {
        answer(done->error() == QKeychain::NoError || done->error() == QKeychain::EntryNotFound);
    });
    job->setAutoDelete(true);
    job->setInsecureFallback(false);
    job->setKey(QLatin1String(Key));
    job->start();
}

bool ReadKeyringPassword(std::string& password)
{
    if (!SessionBusGiven())
        return false;
    const Outcome outcome = ReadPassword();
    if (!outcome.finished || outcome.error != QKeychain::NoError)
        return false;
    password = outcome.password.toStdString();
    return true;
}

bool WriteKeyringPassword(const std::string& password)
{
    if (!SessionBusGiven())
        return false;
    auto* job = new QKeychain::WritePasswordJob(QLatin1String(Service));
    job->setTextData(QString::fromStdString(password));
    const Outcome outcome = RunJob(job);
    return outcome.finished && outcome.error == QKeychain::NoError;
}

void LoadKeyringPassword(std::string& password)
{
    if (password.empty())
        ReadKeyringPassword(password);
}
