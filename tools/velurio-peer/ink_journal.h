// What the tablet drew, kept so that no stroke is lost across a cut connection.
//
// The protocol has no acknowledgements: a stroke written just before the connection broke may
// or may not have reached the host. After a resume the host replays `clear` and every committed
// stroke (a `begin` and an `end` each) before its first ping. The journal watches that replay
// and, at the first ping, names the strokes of ours the host lacks, in the order they were
// drawn, to be sent again. The host does not de-duplicate, so a stroke it already has is never
// sent twice.
//
// Connections are numbered (`connected`); a stroke all of whose messages went out on the current
// connection after its hello is in flight on it, not missing, and is not sent again. While the
// replay is awaited the tablet writes no ink (it reports its messages as not written): a stroke
// drawn then goes out after the missing ones, so the host keeps the drawing order.
//
// Thread: whichever thread drives the tablet, one at a time. Lifetime: the tablet's.
#pragma once

#include "protocol/messages.h"

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace velurio::peer {

class InkJournal {
  public:
    // A new control connection is about to send its hello; `resume` when that hello resumes.
    void connected(bool resume);
    // A stroke message of ours; `written` false when no connection could take it.
    void sent(const StrokeMessage& message, bool written);
    // A `clear` of ours: the picture is empty on both sides.
    void clearedByUs();
    // A message from the host (ink or control channel).
    void received(const SessionMessage& message);

    // True while a resume's replay is expected and the host's first ping has not come: hold
    // ink back (sent(message, false)) until replayFinished().
    bool awaitingReplay() const { return m_awaitingReplay; }
    // The first ping after a resume: the replay is over. Returns, in drawing order, the messages
    // to send again (all those of each stroke the host lacks), and counts them as written on
    // the current connection.
    std::vector<StrokeMessage> replayFinished();

    // The tablet's own strokes, in drawing order: one line per stroke, the canonical JSON of an
    // `end` carrying all its points (what the host's replay would carry for it), each ended by
    // a newline. Strokes not ended yet are left out.
    std::string canonicalText() const;
    std::size_t strokeCount() const { return m_order.size(); }
    // Strokes sent again over all resumes.
    std::uint64_t resent() const { return m_resent; }

  private:
    struct Entry {
        std::vector<StrokeMessage> messages;
        // The connection every message went out on, or none once one did not.
        std::optional<std::uint64_t> wholeOn;
        bool ended = false;
        bool laser = false;
        bool undone = false;  // the host undid it (it may redo it)
    };
    void forget(const std::string& id);

    std::unordered_map<std::string, Entry> m_entries;
    std::vector<std::string> m_order;  // drawing order of m_entries' keys
    std::uint64_t m_connection = 0;
    bool m_awaitingReplay = false;
    std::unordered_set<std::string> m_replayed;
    std::uint64_t m_resent = 0;
};

}  // namespace velurio::peer
