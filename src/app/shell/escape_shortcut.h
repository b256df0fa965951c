#pragma once
// Escape as the way out of drawing mode. While mouse drawing is on the overlay takes every
// click, and it never takes the keyboard (the presentation below keeps it), so the key is
// grabbed for the whole desktop, but only while armed: the shell arms it while drawing is on
// and neither a note editor (whose Escape discards the note) nor a dialog of ours is open.
// An Escape that another program already holds is logged and left to it.
//
// Main thread only.

#include "core/hot_key_backend.h"

#include <QObject>

#include <functional>
#include <memory>

namespace velurio {

class EscapeShortcut : public QObject {
    Q_OBJECT
  public:
    // Key code of Escape in the settings' key encoding.
    static constexpr std::uint32_t kEscapeKeyCode = 53;

    // `backend` defaults to the platform's hot-key backend (a grab of its own, apart from the
    // three configurable shortcuts).
    explicit EscapeShortcut(std::unique_ptr<HotKeyBackend> backend = nullptr,
                            QObject* parent = nullptr);
    ~EscapeShortcut() override;

    // Grabs (true) or releases (false) the key; repeating the current state does nothing.
    void setArmed(bool armed);
    bool armed() const { return m_armed; }

    // Called when Escape is pressed while armed.
    std::function<void()> onPressed;

  private:
    std::unique_ptr<HotKeyBackend> m_backend;
    bool m_armed = false;
};

}  // namespace velurio
