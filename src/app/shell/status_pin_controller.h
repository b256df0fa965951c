#pragma once
// The status pin: a capsule in the top-right corner of a screen while a tablet is connected,
// showing a green dot, the tablet's name and the latency, with buttons to show the toolbar,
// clear the strokes and end the session. It never takes the focus and stays above the overlay.
// Main thread only.

#include <QObject>
#include <QPointer>
#include <QRect>
#include <QString>
#include <QWidget>

#include <functional>
#include <memory>

class QAbstractButton;
class QScreen;

namespace velurio {

class StatusPinController;

// The pin's content. Its buttons call the controller's actions through a weak reference.
class StatusPinView : public QWidget {
    Q_OBJECT
  public:
    StatusPinView(const QString& deviceName, const QString& latency,
                  StatusPinController* controller, QWidget* parent = nullptr);

    QString deviceName() const { return m_deviceName; }
    QString latency() const { return m_latency; }
    QAbstractButton* showToolbarButton() const { return m_showToolbar; }
    QAbstractButton* clearButton() const { return m_clear; }
    QAbstractButton* endSessionButton() const { return m_endSession; }

  protected:
    void paintEvent(QPaintEvent*) override;

  private:
    QString m_deviceName;
    QString m_latency;
    QAbstractButton* m_showToolbar = nullptr;
    QAbstractButton* m_clear = nullptr;
    QAbstractButton* m_endSession = nullptr;
};

class StatusPinController : public QObject {
    Q_OBJECT
  public:
    explicit StatusPinController(QObject* parent = nullptr);
    ~StatusPinController() override;

    std::function<void()> onShowToolbar;
    std::function<void()> onClear;
    std::function<void()> onEndSession;

    // Creates the panel if needed, puts fresh content in it, sizes it to the content, places it
    // 24 points from the right and 20 from the top of `screen`, and brings it to the front.
    void show(QScreen* screen, const QString& deviceName, const QString& latency);
    // Swaps in fresh content with the new texts when the panel exists (its size and place are
    // left as they are); before the first show it does nothing.
    void update(const QString& deviceName, const QString& latency);
    // Orders the panel out.
    void hide();

    QWidget* panel() const { return m_panel.get(); }
    // Where the capsule is on screen (the panel also holds its shadow around it).
    QRect capsuleGeometry() const;
    StatusPinView* view() const { return m_view; }

  private:
    std::unique_ptr<QWidget> m_panel;
    QPointer<StatusPinView> m_view;
};

}  // namespace velurio
