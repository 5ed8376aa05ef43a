#pragma once
// The scale protocol, once: the sequencer that sends the start command, one
// record per row and the end command, each after the acknowledgement of the
// one before, and the matcher that assembles and checks the scale's replies.
// No widgets and no globals: the window drives one engine, the headless
// sender drives many on one event loop.
//
// The driver frames and sends what OnSend gives it, and feeds every piece of
// text the link receives to Feed. Everything runs on the thread of the event
// loop that owns the engine's timers.
#include <QTimer>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "transfer/DatabaseFile.h"

// The row index while no transfer is running: no reply moves it and no tick
// acts on it, so only a new start can send a table.
constexpr std::int32_t RowIndexIdle = -3;

// Largest reply kept while waiting for its LF; a longer one is dropped.
constexpr std::size_t MaxReplyBuffer = 64 * 1024;

// Which table the scale is to replace: "SbP"/"MbP" or "SbU"/"MbU".
enum class TDatabaseKind { Product, User };

// Where a transfer stands; handed to OnProgress after every change.
struct TTransferProgress {
    bool Running = false;
    int Row = 0;                    // row going out now, 1-based; 0 before the first, Rows once all are out
    int Rows = 0;                   // rows of the table as last read
    int Acknowledged = 0;           // rows the scale has acknowledged
    std::uint64_t CommandsSent = 0; // every command handed to OnSend, resends included
    std::uint64_t Resends = 0;      // commands sent again after a wrong reply or a time-out
};

enum class TTransferFault {
    None,
    EmptyRecord, // a row's record text was empty: "Se" went out in its place
    NoReply,     // time-out, and no tries left
    WrongReply,  // a reply that did not match, and no tries left
};

// The end of a transfer; handed to OnFinished.
struct TTransferOutcome {
    bool Done = false; // the scale holds the whole table
    TTransferFault Fault = TTransferFault::None;
    int Row = 0; // 1-based row of the failing record; 0 the start command, Rows + 1 the end command
    int Rows = 0;
    std::string Command; // the command that failed, bare (no framing)
    std::string Reply;   // the last reply that did not match (WrongReply)
    int Tries = 0;       // how often Command was sent
    TTransferProgress Progress;
};

// The window leaves these at their defaults.
struct TTransferOptions {
    int TickMs = 100;       // from a complete reply to the next command
    int ReplyTimeoutMs = 0; // 0: wait for a reply for ever
    // < 0: no limit, and a wrong reply repeats only a record (the start and
    // end commands are not repeated). >= 0: after a time-out or a wrong reply
    // the same command is sent again at most this often, then the transfer fails.
    int RetryLimit = -1;
};

class TTransferEngine {
public:
    explicit TTransferEngine(const TTransferOptions& options = {});
    ~TTransferEngine();
    TTransferEngine(const TTransferEngine&) = delete;
    TTransferEngine& operator=(const TTransferEngine&) = delete;

    // --- Set by the driver -------------------------------------------------

    // Sends one bare command ("SbP", "Sr...", "Se"); the driver adds the
    // link's framing. The engine's state is final before it is called, so a
    // reply may be fed back from inside it.
    std::function<void(const std::string& command)> OnSend;
    // After every change of the progress (start, reply, tick, stop).
    std::function<void(const TTransferProgress& progress)> OnProgress;
    // Once per transfer, when it completed or failed (not after Stop). The
    // engine is idle by then; the handler may start another transfer.
    std::function<void(const TTransferOutcome& outcome)> OnFinished;

    // The rows, read at every tick: their count and the record text of row r
    // (0-based; the cells joined by ";"). SetTable fills both from a table.
    std::function<int()> RowCount;
    std::function<std::string(int row)> RecordText;
    // The table to send, shared by as many engines as send it.
    void SetTable(std::shared_ptr<const TableData> table);

    // Read when a start acknowledgement arrives; empty: the kind given to Start.
    std::function<TDatabaseKind()> KindNow;
    // Runs instead of Tick when the timer fires (the window's TimerBazaTimer,
    // which calls Tick itself).
    std::function<void()> OnTimer;
    // Runs instead of ArmTimer after every complete reply (the window's
    // ArmTimerBaza, which calls ArmTimer itself).
    std::function<void()> OnArmTimer;

    // --- Driving -----------------------------------------------------------

    // Starts over: empties the reply buffer, row index 0, sends the start command.
    void Start(TDatabaseKind kind);
    // Ends the transfer: idle, no timer, nothing more is sent.
    void Stop();
    // A piece of received text (one byte or more), from any link.
    void Feed(const std::string& text);
    // One tick: sends the next command, or completes the transfer.
    void Tick();
    // Empties the reply buffer (a link was opened).
    void ClearReplies() { FReply.clear(); }
    // Starts the tick timer unless it is already running: a second reply must
    // not push the pending tick back.
    void ArmTimer();
    // What the reply time-out does when it fires (a driver with a clock of its
    // own may call it instead): while a copy of the current command is still
    // unanswered, sends the command once more, or fails the transfer when no
    // tries are left. Does nothing otherwise.
    void ReplyTimedOut();

    // --- State -------------------------------------------------------------

    // The sequencer's row index: 0 start sent; 1..R row k-1 to send; R+1 all
    // acknowledged; -1 end sent; -2 end acknowledged; RowIndexIdle idle.
    std::int32_t& RowIndex() { return FRowIndex; }
    // Set when a row's record text was empty.
    bool& SendFailed() { return FSendFailed; }
    bool Running() const { return FRowIndex != RowIndexIdle; }
    const std::string& ReplyBuffer() const { return FReply; }
    TTransferProgress Progress() const;
    const TTransferOptions& Options() const { return FOptions; }
    QTimer* Timer() { return &FTimer; }

private:
    void Send(const std::string& command);
    void Reply(const std::string& reply);
    void RestartReplyTimer();
    void Fail(TTransferFault fault);
    void Finish();
    void Reset();
    void Report();
    int Rows() const;
    int FailedRow() const;

    TTransferOptions FOptions;
    std::int32_t FRowIndex = RowIndexIdle;
    bool FSendFailed = false;
    TDatabaseKind FKind = TDatabaseKind::Product;
    std::string FReply;
    std::shared_ptr<const TableData> FTable;
    QTimer FTimer;          // the tick after a complete reply
    QTimer FReplyTimer;     // the time-out for a reply, when one is set
    bool FAwaiting = false; // a command went out and no reply has matched it yet
    // The scale answers every copy it received, in order. Copies of the
    // current command still unanswered, and replies still owed to copies of
    // commands already acknowledged: those are swallowed, never matched.
    int FCopies = 0;
    int FOwed = 0;
    std::string FLastCommand;
    std::string FLastWrong;
    int FTries = 0; // sends of FLastCommand
    int FFailedRow = 0;
    int FAcknowledged = 0;
    int FLastRows = 0;
    std::uint64_t FCommandsSent = 0;
    std::uint64_t FResends = 0;
};
