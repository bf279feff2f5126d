#pragma once

#include <QByteArray>
#include <QString>

#include <exception>

// What a child process produced.
struct ProcessResult
{
    int status = 0; // termination status, 0 for success
    QByteArray stdoutData;
    QByteArray stderrData;
};

// The engine's error: a complete message, or the rejected-password case.
class DiskImageError : public std::exception
{
public:
    enum class Kind { CommandFailed, BadPassword, Stopped };

    [[nodiscard]] static DiskImageError commandFailed(const QString &message)
    {
        return {Kind::CommandFailed, message};
    }
    [[nodiscard]] static DiskImageError badPassword() { return {Kind::BadPassword, QString()}; }
    // The work was stopped on request, where stopping was safe.
    [[nodiscard]] static DiskImageError stopped() { return {Kind::Stopped, QStringLiteral("Stopped.")}; }

    [[nodiscard]] Kind kind() const { return m_kind; }
    // The text every caller shows.
    [[nodiscard]] QString errorDescription() const;
    [[nodiscard]] const char *what() const noexcept override { return "DiskImageError"; }

private:
    DiskImageError(Kind kind, QString message) : m_kind(kind), m_message(std::move(message)) {}

    Kind m_kind;
    QString m_message;
};

// A child process that could not be started at all; not a DiskImageError.
class LaunchError : public std::exception
{
public:
    explicit LaunchError(QString message) : m_message(std::move(message)) {}
    [[nodiscard]] QString errorDescription() const { return m_message; }
    [[nodiscard]] const char *what() const noexcept override { return "LaunchError"; }

private:
    QString m_message;
};

// The user-facing text of any error the engine or the file system throws.
[[nodiscard]] QString describeError(const std::exception &error);
