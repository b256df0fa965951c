// Finding the host on the local network: the first "_velurio._tcp" service resolved (of the
// paired host, when its device id is known).
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>
#include <map>

namespace velurio::peer {

struct DiscoveredHost {
    QString name;
    QString address;
    quint16 port = 0;
    std::map<QByteArray, QByteArray> txt;
};

// Starts browsing; calls onFound once for the first host resolved that `accept` takes (every
// host when it is empty), or onError. The search lives as long as `owner`.
void discoverHost(QObject* owner, std::function<bool(const DiscoveredHost&)> accept,
                  std::function<void(const DiscoveredHost&)> onFound,
                  std::function<void(const QString&)> onError);

}  // namespace velurio::peer
