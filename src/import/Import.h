#pragma once

#include <QObject>
#include <QStringList>

#include <atomic>
#include <optional>

class QThread;

// Copies (or moves) files and folders to the top level of an unlocked vault, off the main thread:
// each item under a free name, one after another, stopping at the first failure, whose half-made
// copy is removed. A moved item's original goes to the Trash only after its copy is complete and
// flushed to the vault. Nothing is written once the vault is no longer mounted there.
class Import : public QObject
{
    Q_OBJECT

public:
    explicit Import(QObject *parent = nullptr);
    ~Import() override;

    // The name an item takes in a folder: its own when free, else "base 2.ext", "base 3.ext", …
    [[nodiscard]] static QString freeName(const QString &folder, const QString &fileName);
    // Paths as given (a trailing slash, "a/./b"), each once, without empty ones.
    [[nodiscard]] static QStringList cleanPaths(const QStringList &paths);

    // Starts the work; finished() follows, once.
    void start(const QStringList &sources, const QString &mountPoint, bool move);
    // Stops after the piece being written; what was brought in before stays, a half-copied item
    // is removed.
    void cancel() { m_cancelled = true; }

Q_SIGNALS:
    // Bytes written so far of all the items' bytes, and the item being copied.
    void progress(qint64 written, qint64 total, const QString &name);
    // failure: "Could not add NAME: reason"; none after success or a cancel. done: items brought in.
    void finished(int done, const std::optional<QString> &failure, bool cancelled);

private:
    void run(QStringList sources, QString mountPoint, bool move);

    QThread *m_thread = nullptr;
    std::atomic<bool> m_cancelled = false;
};
