// torvex-rack: the run record in SQLite. WAL mode and one short transaction
// per run's start and end, so that a dashboard or the sqlite3 shell can read
// it while the rack writes; a lock file beside it keeps to one writer.
#include "history.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "record.h"
#include "rack.h"

struct History {
    sqlite3* Db = nullptr;
    int Lock = -1;
    std::string Host;  // the machine the runs are on
};

namespace {

// The layout of table runs; a later release migrates from what user_version says.
constexpr int SchemaVersion = 1;

const char* const Schema =
    "CREATE TABLE IF NOT EXISTS runs ("
    " id INTEGER PRIMARY KEY,"
    " unit TEXT NOT NULL, usb TEXT NOT NULL, port TEXT NOT NULL, label TEXT NOT NULL,"
    " script TEXT NOT NULL, script_sha256 TEXT NOT NULL,"
    " started TEXT NOT NULL, ended TEXT, ok INTEGER NOT NULL DEFAULT 0, result TEXT NOT NULL DEFAULT '',"
    " status INTEGER, attempts INTEGER NOT NULL DEFAULT 1, transcript TEXT NOT NULL,"
    " host TEXT NOT NULL, station TEXT NOT NULL);"
    "CREATE INDEX IF NOT EXISTS runs_unit ON runs (unit, script_sha256, ok);";

std::string Reason(sqlite3* db)
{
    return db != nullptr ? sqlite3_errmsg(db) : "out of memory";
}

bool Exec(sqlite3* db, const char* sql, std::string* why)
{
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        *why = message != nullptr ? message : Reason(db);
        sqlite3_free(message);
        return false;
    }
    return true;
}

// A prepared statement that finalises itself.
struct Statement {
    sqlite3_stmt* s = nullptr;
    Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &s, nullptr); }
    ~Statement() { sqlite3_finalize(s); }
    void Text(int i, const std::string& text) { sqlite3_bind_text(s, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT); }
    void Int(int i, long long n) { sqlite3_bind_int64(s, i, n); }
    std::string Column(int i) const
    {
        const unsigned char* text = sqlite3_column_text(s, i);
        return text != nullptr ? std::string(reinterpret_cast<const char*>(text), sqlite3_column_bytes(s, i)) : "";
    }
};

// Ends a statement that changes the record: false with why.
bool Done(sqlite3* db, Statement& st, std::string* why)
{
    if (st.s == nullptr || sqlite3_step(st.s) != SQLITE_DONE) {
        *why = Reason(db);
        return false;
    }
    return true;
}

}  // namespace

History* OpenHistory(const std::string& path, std::string* why)
{
    const std::string lockPath = path + ".lock";
    const int lock = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock < 0) {
        *why = "cannot make its lock " + lockPath + ": " + strerror(errno);
        return nullptr;
    }
    if (flock(lock, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        close(lock);
        *why = error == EWOULDBLOCK ? "another torvex-rack records in it (its lock " + lockPath + " is held)"
                                    : "cannot lock " + lockPath + ": " + strerror(error);
        return nullptr;
    }
    History* history = new History;
    history->Lock = lock;
    char host[256] = "";
    gethostname(host, sizeof host - 1);
    history->Host = host;
    const int opened = sqlite3_open_v2(path.c_str(), &history->Db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    bool ok = opened == SQLITE_OK;
    if (!ok) {
        *why = Reason(history->Db);
    }
    // Readers may hold the database for a moment; a writer waits for them.
    ok = ok && sqlite3_busy_timeout(history->Db, 5000) == SQLITE_OK;
    ok = ok && Exec(history->Db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;", why);
    ok = ok && Exec(history->Db, "BEGIN IMMEDIATE", why);
    Statement version(history->Db, "PRAGMA user_version");
    const int found = ok && sqlite3_step(version.s) == SQLITE_ROW ? sqlite3_column_int(version.s, 0) : -1;
    if (ok && found > SchemaVersion) {
        *why = "its layout is version " + std::to_string(found) + ", newer than this torvex-rack's (" +
               std::to_string(SchemaVersion) + ")";
        ok = false;
    }
    ok = ok && Exec(history->Db, Schema, why);
    ok = ok && Exec(history->Db, ("PRAGMA user_version=" + std::to_string(SchemaVersion)).c_str(), why);
    // Only the one writer may say that the runs a killed rack left behind will never end.
    ok = ok && Exec(history->Db,
                    "UPDATE runs SET ok = 0, result = 'unfinished: the rack ended before the run' "
                    "WHERE ended IS NULL",
                    why);
    ok = ok && Exec(history->Db, "COMMIT", why);
    if (!ok) {
        CloseHistory(history);
        return nullptr;
    }
    return history;
}

long long RecordStart(History* history, const RunRecord& run, std::string* why)
{
    Statement st(history->Db,
                 "INSERT INTO runs (unit, usb, port, label, script, script_sha256, started, result, attempts,"
                 " transcript, host, station) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, 'running', ?8, ?9, ?10, ?11)");
    const std::string texts[] = {run.Unit, run.Usb, run.Port, run.Label, run.Script, run.ScriptSha256, run.Started};
    for (int i = 0; i < 7; i++) {
        st.Text(i + 1, texts[i]);
    }
    st.Int(8, run.Attempts);
    st.Text(9, run.Transcript);
    st.Text(10, history->Host);
    st.Text(11, run.Station);
    return Done(history->Db, st, why) ? sqlite3_last_insert_rowid(history->Db) : 0;
}

bool RecordEnd(History* history, long long id, const RunRecord& run, std::string* why)
{
    Statement st(history->Db,
                 "UPDATE runs SET ended = ?1, ok = ?2, result = ?3, status = ?4, attempts = ?5 WHERE id = ?6");
    st.Text(1, run.Ended);
    st.Int(2, run.Ok ? 1 : 0);
    st.Text(3, run.Result);
    if (run.Status >= 0) {
        st.Int(4, run.Status);
    }
    st.Int(5, run.Attempts);
    st.Int(6, id);
    return Done(history->Db, st, why);
}

std::string PassedEarlier(History* history, const std::string& unit, const std::string& sha256)
{
    Statement st(history->Db,
                 "SELECT max(ended) FROM runs WHERE unit = ?1 AND script_sha256 = ?2 AND ok = 1");
    st.Text(1, unit);
    st.Text(2, sha256);
    return st.s != nullptr && sqlite3_step(st.s) == SQLITE_ROW ? st.Column(0) : "";
}

void CloseHistory(History* history)
{
    if (history == nullptr) {
        return;
    }
    sqlite3_close(history->Db);
    close(history->Lock);
    delete history;
}

namespace {

struct Row {
    std::string Started, Unit, Port, Label, Result, Time, Transcript, Sha, Script, Usb, Ended, Status, Attempts;
    bool Ok = false;
};

std::string Padded(const std::string& text, size_t width)
{
    return text + std::string(width > text.size() ? width - text.size() : 0, ' ');
}

std::string Table(const std::vector<Row>& rows)
{
    size_t widths[5] = {7, 4, 4, 6, 4};
    auto cells = [](const Row& r) {
        const std::string port = r.Label.empty() ? r.Port : r.Label + " (" + r.Port + ")";
        return std::vector<std::string>{r.Started, Shown(r.Unit), Shown(port), Shown(r.Result), r.Time,
                                        Shown(r.Transcript)};
    };
    std::vector<std::vector<std::string>> lines = {{"STARTED", "UNIT", "PORT", "RESULT", "TIME", "TRANSCRIPT"}};
    for (const Row& r : rows) {
        lines.push_back(cells(r));
    }
    for (const auto& line : lines) {
        for (size_t i = 0; i < 5; i++) {
            widths[i] = std::max(widths[i], line[i].size());
        }
    }
    std::string table;
    for (const auto& line : lines) {
        std::string text;
        for (size_t i = 0; i < 5; i++) {
            text += Padded(line[i], widths[i]) + "  ";
        }
        text += line[5];
        while (!text.empty() && text.back() == ' ') {
            text.pop_back();
        }
        table += text + "\n";
    }
    return table;
}

std::string Json(const std::vector<Row>& rows)
{
    std::string json = "[";
    for (size_t i = 0; i < rows.size(); i++) {
        const Row& r = rows[i];
        auto text = [](const std::string& t) { return JsonString(t); };
        auto orNull = [](const std::string& t) { return t.empty() ? std::string("null") : JsonString(t); };
        json += std::string(i == 0 ? "" : ",") + "\n  {\"unit\": " + text(r.Unit) + ", \"usb\": " + orNull(r.Usb) +
                ", \"port\": " + text(r.Port) + ", \"label\": " + orNull(r.Label) + ", \"script\": " +
                text(r.Script) + ", \"script_sha256\": " + text(r.Sha) + ", \"started\": " + text(r.Started) +
                ", \"ended\": " + orNull(r.Ended) + ", \"ok\": " + (r.Ok ? "true" : "false") +
                ", \"result\": " + text(r.Result) + ", \"status\": " + (r.Status.empty() ? "null" : r.Status) +
                ", \"attempts\": " + r.Attempts + ", \"transcript\": " + text(r.Transcript) + "}";
    }
    return json + (rows.empty() ? "]\n" : "\n]\n");
}

}  // namespace

int PrintHistory(const std::string& path, const std::string& unit, bool json)
{
    sqlite3* db = nullptr;
    // Read-only, and never created: a wrong name is not a new, empty record.
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        fprintf(stderr, "torvex-rack: cannot read the record %s: %s\n", path.c_str(), Reason(db).c_str());
        sqlite3_close(db);
        return 2;
    }
    sqlite3_busy_timeout(db, 5000);
    std::vector<Row> rows;
    {
        Statement st(db,
                     "SELECT started, unit, port, label, result, ended, transcript, script_sha256, script, usb, ok,"
                     " status, attempts, printf('%.1f s', (julianday(ended) - julianday(started)) * 86400)"
                     " FROM runs WHERE ?1 IS NULL OR unit = ?1 ORDER BY started DESC, id DESC");
        if (!unit.empty()) {
            st.Text(1, unit);
        }
        int step = st.s != nullptr ? sqlite3_step(st.s) : SQLITE_ERROR;
        for (; step == SQLITE_ROW; step = sqlite3_step(st.s)) {
            Row r;
            r.Started = st.Column(0), r.Unit = st.Column(1), r.Port = st.Column(2), r.Label = st.Column(3);
            r.Result = st.Column(4), r.Ended = st.Column(5), r.Transcript = st.Column(6), r.Sha = st.Column(7);
            r.Script = st.Column(8), r.Usb = st.Column(9), r.Ok = sqlite3_column_int(st.s, 10) != 0;
            r.Status = st.Column(11), r.Attempts = st.Column(12);
            r.Time = r.Ended.empty() ? "-" : st.Column(13);
            rows.push_back(r);
        }
        if (step != SQLITE_DONE) {
            fprintf(stderr, "torvex-rack: cannot read the record %s: %s\n", path.c_str(), Reason(db).c_str());
            sqlite3_close(db);
            return 2;
        }
    }
    sqlite3_close(db);
    const std::string text = json ? Json(rows) : Table(rows);
    if (fwrite(text.data(), 1, text.size(), stdout) != text.size() || fflush(stdout) != 0) {
        fprintf(stderr, "torvex-rack: cannot write the record's history: %s\n", strerror(errno));
        return 4;
    }
    return 0;
}
