#include "ink_journal.h"

#include <algorithm>

namespace velurio::peer {

void InkJournal::connected(bool resume) {
    ++m_connection;
    m_awaitingReplay = resume;
    m_replayed.clear();
}

void InkJournal::sent(const StrokeMessage& message, bool written) {
    // Lasers and erasers leave nothing the host could replay: there is nothing to reconcile.
    if (message.tool == "laser" || message.tool == "eraser")
        return;
    auto found = m_entries.find(message.id);
    if (message.op == StrokeOp::begin) {
        if (found != m_entries.end()) {
            forget(message.id);  // a begin replaces a stroke of the same id, as on the host
        }
        Entry entry;
        entry.wholeOn = written ? std::optional(m_connection) : std::nullopt;
        entry.messages.push_back(message);
        m_entries.emplace(message.id, std::move(entry));
        m_order.push_back(message.id);
        return;
    }
    if (found == m_entries.end() || found->second.ended)
        return;  // the host ignores these too
    Entry& entry = found->second;
    entry.messages.push_back(message);
    if (!written || entry.wholeOn != m_connection)
        entry.wholeOn.reset();
    entry.ended = message.op == StrokeOp::end;
}

void InkJournal::clearedByUs() {
    m_entries.clear();
    m_order.clear();
}

void InkJournal::forget(const std::string& id) {
    m_entries.erase(id);
    m_order.erase(std::remove(m_order.begin(), m_order.end(), id), m_order.end());
}

void InkJournal::received(const SessionMessage& message) {
    if (m_awaitingReplay) {
        // The replay: a clear, then a begin and an end for every stroke the host holds.
        if (message.get<ClearMessage>() != nullptr) {
            m_replayed.clear();
        } else if (const StrokeMessage* stroke = message.get<StrokeMessage>();
                   stroke != nullptr && stroke->op == StrokeOp::end) {
            m_replayed.insert(stroke->id);
        }
        return;
    }
    if (message.get<ClearMessage>() != nullptr) {
        clearedByUs();  // the host's clear empties our picture too
    } else if (const UndoMessage* undo = message.get<UndoMessage>()) {
        if (auto found = m_entries.find(undo->id); found != m_entries.end())
            found->second.undone = true;
    } else if (const RedoMessage* redo = message.get<RedoMessage>()) {
        if (auto found = m_entries.find(redo->id); found != m_entries.end())
            found->second.undone = false;
    }
}

std::vector<StrokeMessage> InkJournal::replayFinished() {
    std::vector<StrokeMessage> out;
    if (!m_awaitingReplay)
        return out;
    m_awaitingReplay = false;
    for (const std::string& id : m_order) {
        Entry& entry = m_entries.at(id);
        if (entry.undone || m_replayed.count(id) != 0 || entry.wholeOn == m_connection)
            continue;
        // Missing: the host never committed it (an undone one is in the host's redo stack).
        out.insert(out.end(), entry.messages.begin(), entry.messages.end());
        entry.wholeOn = m_connection;
        ++m_resent;
    }
    m_replayed.clear();
    return out;
}

std::string InkJournal::canonicalText() const {
    std::string text;
    for (const std::string& id : m_order) {
        const Entry& entry = m_entries.at(id);
        if (!entry.ended || entry.undone)
            continue;
        StrokeMessage whole = entry.messages.front();
        whole.op = StrokeOp::end;
        whole.pts.clear();
        for (const StrokeMessage& m : entry.messages)
            whole.pts.insert(whole.pts.end(), m.pts.begin(), m.pts.end());
        text += SessionMessage(whole).canonicalJSON();
        text += '\n';
    }
    return text;
}

}  // namespace velurio::peer
