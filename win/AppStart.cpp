// SPDX-License-Identifier: GPL-3.0-or-later
#include "win/AppStart.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>
#include <QThread>
#include <QUuid>

#include <filesystem>
#include <system_error>

namespace kestova::win {

QString FindProgramFolder(const QString& executableDir)
{
    const QDir dir(executableDir);
    if (dir.exists(QStringLiteral("StartInfoUnicode.ini")) || dir.exists(QStringLiteral("LanguageUnicode.ini")))
        return dir.absolutePath();
    const QString shared = QDir::cleanPath(dir.absoluteFilePath(QStringLiteral("../share/kestova")));
    if (QDir(shared).exists())
        return shared;
    return dir.absolutePath();
}

bool MakePrivateFolder(const QString& path)
{
    if (path.isEmpty() || !QDir().mkpath(path))
        return false;
    const QFileInfo info(path);
    if (!info.isDir() || !info.isWritable())
        return false;
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return QFileInfo(path).isWritable();
}

void MakeNormal(const QString& path)
{
    if (QFileInfo::exists(path))
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

bool CopyOver(const QString& from, const QString& to)
{
    if (!QFileInfo(from).isFile())
        return false;
    const QString tmp = to + QStringLiteral(".new-") + QUuid::createUuid().toString(QUuid::Id128);
    if (!QFile::copy(from, tmp))
        return false;
    MakeNormal(tmp);
    std::error_code ec;
    std::filesystem::rename(QFile::encodeName(tmp).toStdString(), QFile::encodeName(to).toStdString(), ec);
    if (ec) {
        QFile::remove(tmp);
        return false;
    }
    return true;
}

SingleInstance::SingleInstance(QString socketPath, QObject* parent)
    : QObject(parent), socketPath_(std::move(socketPath))
{
}

SingleInstance::~SingleInstance()
{
    if (server_)
        server_->close();
    lock_.reset();
}

QString SingleInstance::DefaultSocketPath(const std::string& frameArg)
{
    // Named after the executable, like the program's instance object, and
    // after the virtual frame named: one instance per frame, so a start
    // naming another frame opens its own window and its files never reach a
    // window on another frame.
    QString name = QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
    if (name.isEmpty())
        name = QStringLiteral("kestova");
    if (!frameArg.empty()) {
        const QString image = QFile::decodeName(QByteArray::fromStdString(frameArg.substr(0, frameArg.find(','))));
        const QFileInfo info(image);
        const QString key = info.canonicalFilePath().isEmpty() ? info.absoluteFilePath() : info.canonicalFilePath();
        name += QLatin1Char('-') +
                QString::fromLatin1(QCryptographicHash::hash(QFile::encodeName(key), QCryptographicHash::Sha256).toHex().left(16));
    }
    QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty() || !QFileInfo(dir).isWritable()) {
        dir = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
        MakePrivateFolder(dir);
    }
    return QDir(dir).filePath(name + QStringLiteral(".instance"));
}

namespace {
// The list handed over: each name as its bytes after a 32-bit big-endian
// length, so a name may hold any byte (a newline too); a length of all ones
// ends the list.
constexpr quint32 kEndOfList = 0xFFFFFFFFu;
constexpr qsizetype kMaxHandedBytes = qsizetype(1) << 20;

void AppendLength(QByteArray& out, quint32 n)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out += char((n >> shift) & 0xFF);
}

quint32 LengthAt(const QByteArray& in, qsizetype at)
{
    quint32 n = 0;
    for (int i = 0; i < 4; ++i)
        n = (n << 8) | quint8(in[at + i]);
    return n;
}

// A whole list from the front of `in`: true when its end was reached.
bool TakeList(const QByteArray& in, QStringList& files)
{
    files.clear();
    qsizetype at = 0;
    while (in.size() - at >= 4) {
        const quint32 n = LengthAt(in, at);
        if (n == kEndOfList)
            return true;
        if (in.size() - at - 4 < qsizetype(n))
            return false;
        files << QFile::decodeName(in.mid(at + 4, n));
        at += 4 + qsizetype(n);
    }
    return false;
}
} // namespace

SingleInstance::HandOverResult SingleInstance::HandOver(const QStringList& files) const
{
    QByteArray message;
    for (const QString& f : files) {
        const QByteArray name = QFile::encodeName(f);
        AppendLength(message, quint32(name.size()));
        message += name;
    }
    AppendLength(message, kEndOfList);
    QLocalSocket socket;
    socket.connectToServer(socketPath_);
    if (!socket.waitForConnected(1000))
        return HandOverResult::NoAnswer;
    if (message.size() > kMaxHandedBytes) {
        socket.disconnectFromServer();
        return HandOverResult::TooLong;
    }
    socket.write(message);
    socket.waitForBytesWritten(5000);
    // Wait for the other side to take the list, so it is not lost
    // when this process ends at once.
    socket.waitForReadyRead(5000);
    const bool taken = socket.readAll() == "ok";
    socket.disconnectFromServer();
    return taken ? HandOverResult::Handed : HandOverResult::NotTaken;
}

bool SingleInstance::HandOverOrListen(const QStringList& files, QString* refusal)
{
    // The claim is the lock file, taken atomically and held for the whole
    // life of the instance: of two starts at the same instant exactly one
    // takes it. A lock whose holder is gone (crashed, killed) is taken over
    // at once, never because of its age.
    auto lock = std::make_unique<QLockFile>(socketPath_ + QStringLiteral(".lock"));
    lock->setStaleLockTime(0);
    // The holder may still be on its way to listening: ask it again for a
    // while before starting a window of our own.
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (lock->tryLock(0))
            break;
        const HandOverResult handed = HandOver(files);
        if (handed == HandOverResult::NoAnswer) {
            QThread::msleep(100);
            continue;
        }
        if (refusal && handed == HandOverResult::TooLong)
            *refusal = QStringLiteral("the list of files is longer than 1 MiB; the running window did not take it. "
                                      "Hand over fewer files, or a folder.");
        else if (refusal && handed == HandOverResult::NotTaken)
            *refusal = QStringLiteral("the running window did not take the files.");
        return true;
    }
    if (!lock->isLocked())
        return false;  // the holder never answered: start anyway, unclaimed
    lock_ = std::move(lock);
    // Ours now: a socket left by an instance that crashed is removed.
    QLocalServer::removeServer(socketPath_);
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_->listen(socketPath_))
        return false;  // start anyway; later starts will open windows of their own
    connect(server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* s = server_->nextPendingConnection()) {
            auto buffer = std::make_shared<QByteArray>();
            connect(s, &QLocalSocket::disconnected, s, &QObject::deleteLater);
            connect(s, &QLocalSocket::readyRead, this, [this, s, buffer] {
                *buffer += s->readAll();
                QStringList files;
                const bool whole = TakeList(*buffer, files);
                if (!whole && buffer->size() > kMaxHandedBytes + 4) {
                    // Refused, not dropped silently: the other start says so.
                    s->write("too long");
                    s->flush();
                    s->disconnectFromServer();
                    return;
                }
                if (!whole)
                    return;
                buffer->clear();
                s->write("ok");
                s->flush();
                emit activated(files);
            });
        }
    });
    return false;
}

bool SingleInstance::IsListening() const
{
    return server_ && server_->isListening();
}

} // namespace kestova::win
