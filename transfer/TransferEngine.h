#pragma once
// The scale protocol, once: the sequencer that sends the start command, one
// record per row and the end command, each after the acknowledgement of the
// one before, and the matcher that assembles and checks the scale's replies.
// No widgets and no globals: the window drives one engine, the headless
// sender drives many on one event loop.
//
// The driver is the engine's listener: it frames and sends each command the
// engine hands it, and feeds every piece of text the link receives to Feed. Everything runs on the thread of
// the event loop behind the engine's clock.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "transfer/Clock.h"
#include "transfer/DatabaseFile.h"
#include "transfer/Protocol.h"

// Largest reply kept while waiting for its LF; a longer one is dropped.
constexpr std::size_t MaxReplyBuffer = 64 * 1024;

// What a transfer sends, read at every tick: a table loaded meanwhile counts.
class TTransferRows {
public:
    virtual ~TTransferRows() = default;
    virtual int RowCount() const = 0;
    // Row r's record text (0-based): its cells joined by ";".
    virtual std::string RecordText(int row) const = 0;
};

// The rows of a table, shared by as many engines as send it.
class TTableRows : public TTransferRows {
public:
    explicit TTableRows(std::shared_ptr<const TableData> table) : FTable(std::move(table)) {}
    int RowCount() const override { return FTable ? FTable->RowCount() : 0; }
    std::string RecordText(int row) const override {
        return FTable ? FTable->RecordText(row, FTable->ColCount()) : std::string();
    }

private:
    std::shared_ptr<const TableData> FTable;
};

enum class TTransferPhase {
    Idle,     // no transfer: no reply moves it and no tick acts on it
    Starting, // the start command went out, its acknowledgement is awaited
    Records,  // the records go out one by one
    Ending,   // the end command went out, its acknowledgement is awaited
    Ended,    // the end was acknowledged; the next tick completes the transfer
};

// Where a transfer stands; handed to TransferProgress after every change.
struct TTransferProgress {
    TTransferPhase Phase = TTransferPhase::Idle;
    // Records: the 1-based row out now or next; Rows + 1 once all are acknowledged.
    int Next = 0;
    int Rows = 0;                   // rows of the table as last read
    int Acknowledged = 0;           // rows the scale has acknowledged
    std::uint64_t CommandsSent = 0; // every command handed to TransferSend, resends included
    std::uint64_t Resends = 0;      // commands sent again after a wrong reply or a time-out
    std::uint64_t Replies = 0;      // complete reply lines received, matching or not
    bool SendFailed = false;        // a row's record text was empty: "Se" went out in its place

    bool Running() const { return Phase != TTransferPhase::Idle; }
    // Where the transfer stands in a table of `rows`: 0 before the first row
    // (the start command), 1..rows a row, rows + 1 the end command.
    int Row(int rows) const;
    int Row() const { return Row(Rows); }
};

// The row index as the window has always coded it (its FRowIndex): 0 start
// sent; 1..R row k-1 to send; R+1 all acknowledged; -1 end sent; -2 end
// acknowledged; -3 idle.
std::int32_t RowIndexCode(const TTransferProgress& progress);

enum class TTransferFault {
    None,
    EmptyRecord, // a row's record text was empty: "Se" went out in its place
    NoReply,     // time-out, and no tries left
    WrongReply,  // a reply that did not match, and no tries left
    // More replies than commands sent (StrictReplies): which reply answered
    // which command cannot be told, so neither can what the scale holds.
    TooManyReplies,
};

// The end of a transfer; handed to TransferFinished.
struct TTransferOutcome {
    bool Done = false; // the scale holds the whole table
    TTransferFault Fault = TTransferFault::None;
    // Where it ended, as TTransferProgress::Row: rows + 1 when done; the failing
    // record's row, 0 the start command, Rows + 1 the end command.
    int Row = 0;
    int Rows = 0;
    std::string Command; // the command that failed, bare (no framing)
    std::string Reply;   // the last reply that did not match (WrongReply), or the one too many
    int Tries = 0;       // how often Command was sent
    TTransferProgress Progress;
};

// The window leaves the time-out and the retry limit at their defaults.
struct TTransferOptions {
    // From a complete reply to the next command. 0: once every line of the text that
    // brought the reply is matched, without a turn of the event loop.
    int TickMs = 100;
    int ReplyTimeoutMs = 0; // 0: wait for a reply for ever
    // < 0: no limit, and a wrong reply repeats only a record (the start and
    // end commands are not repeated). >= 0: after a time-out or a wrong reply
    // the same command is sent again at most this often, then the transfer fails.
    int RetryLimit = -1;
    // The tick comes on time whatever the loop did after it was armed (the
    // window repaints its bar after every reply).
    bool ExactTick = false;
    // Every line is one reply, and each reply answers one copy sent: a reply
    // with no copy unanswered acknowledges nothing and fails the transfer
    // (TooManyReplies). Off, the window's way: one buffer, so a piece holding
    // two lines is one reply, and a reply after a refusal still matches.
    bool StrictReplies = false;
};

// Told what the engine does, on the thread of its clock.
class TTransferListener {
public:
    // One bare command ("SbP", "Sr...", "Se"); the driver adds the link's
    // framing. The engine's state is final before it is called, so a reply
    // may be fed back from inside it.
    virtual void TransferSend(const std::string& command) = 0;
    // After every change of the progress (start, reply, tick, stop).
    virtual void TransferProgress(const TTransferProgress& progress) { (void)progress; }
    // Once per transfer, when it completed or failed (not after Stop). The
    // engine is idle by then; the handler may start another transfer.
    virtual void TransferFinished(const TTransferOutcome& outcome) { (void)outcome; }
    // Read when a start acknowledgement arrives: the kind chosen now, where
    // it may change during a transfer (the window). `started`: the kind given to Start.
    virtual TDatabaseKind TransferKindNow(TDatabaseKind started) { return started; }

    virtual ~TTransferListener() = default;
};

class TTransferEngine {
public:
    explicit TTransferEngine(const TTransferOptions& options = {},
                             transfer::TEngineClock& clock = transfer::QtClock());
    ~TTransferEngine();
    TTransferEngine(const TTransferEngine&) = delete;
    TTransferEngine& operator=(const TTransferEngine&) = delete;

    // --- Set by the driver -------------------------------------------------

    // The listener outlives the engine or is cleared first; none: commands go nowhere.
    void SetListener(TTransferListener* listener) { FListener = listener; }
    // What to send; not owned, and read at every tick. None: an empty table.
    void SetRows(const TTransferRows* rows) { FRows = rows; }

    // --- Driving -----------------------------------------------------------

    // Starts over: empties the reply buffer, sends the start command.
    void Start(TDatabaseKind kind);
    // Ends the transfer: idle, no timer, nothing more is sent.
    void Stop();
    // A piece of received text (one byte or more), from any link. With TickMs 0 the next
    // command goes out before it returns.
    void Feed(const std::string& text);
    // Empties the reply buffer (a link was opened).
    void ClearReplies() { FReply.clear(); }

    // --- State -------------------------------------------------------------

    bool Running() const { return FRowIndex != kIdle; }
    // A tick is due: a complete reply came and its tick has not run yet.
    bool TickPending() const { return FTickNow || FTick->Active(); }
    const std::string& ReplyBuffer() const { return FReply; }
    TTransferProgress Progress() const;

private:
    static constexpr std::int32_t kIdle = -3;

    void Tick();
    void ArmTick();
    void ReplyTimedOut();
    void Send(const std::string& command);
    void Reply(const std::string& reply);
    void FeedText(const std::string& text);
    void FeedLines();
    void RestartReplyTimer();
    void Fail(TTransferFault fault);
    void Finish();
    void Reset();
    void Report();
    TDatabaseKind KindNow() const;
    int Rows() const;
    int FailedRow() const;

    TTransferOptions FOptions;
    TTransferListener* FListener = nullptr;
    const TTransferRows* FRows = nullptr;
    // The sequencer's position, coded as RowIndexCode says.
    std::int32_t FRowIndex = kIdle;
    bool FSendFailed = false;
    TDatabaseKind FKind = TDatabaseKind::Product;
    std::string FReply;
    std::unique_ptr<transfer::TEngineTimer> FTick; // the tick after a complete reply
    // A tick of pace 0, run as soon as the text in hand is matched (see Feed).
    bool FTickNow = false;
    int FFeeding = 0;                                    // Feed calls under way
    std::unique_ptr<transfer::TEngineTimer> FReplyTimer; // the time-out for a reply, when one is set
    bool FAwaiting = false;                              // a command went out and no reply has matched it yet
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
    std::uint64_t FReplies = 0;
    std::uint64_t FStarts = 0; // transfers begun, so feeding sees one begin under it
};
