#include "platform/avahi/avahi_service_publisher.h"

#include <QLoggingCategory>

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>

namespace velurio {

namespace {
Q_LOGGING_CATEGORY(lcAvahi, "velurio.avahi")
}

AvahiServicePublisher::AvahiServicePublisher() = default;

AvahiServicePublisher::~AvahiServicePublisher() {
    if (m_client != nullptr) {
        avahi_client_free(m_client);  // frees the group too
    }
}

void AvahiServicePublisher::ensureClient() {
    if (m_client != nullptr) {
        return;
    }
    int error = 0;
    // NO_FAIL: without a daemon the client waits for one instead of failing.
    m_client = avahi_client_new(
        m_poll.poll(), AVAHI_CLIENT_NO_FAIL,
        [](AvahiClient* c, AvahiClientState s, void* u) {
            clientCallback(c, static_cast<int>(s), u);
        },
        this, &error);
    if (m_client == nullptr) {
        qCWarning(lcAvahi) << "Velurio: anúncio na rede local indisponível:"
                           << avahi_strerror(error);
    }
}

void AvahiServicePublisher::publish(const QString& name, const QByteArray& type, quint16 port,
                                    Txt txt) {
    m_wanted = true;
    m_name = name.isEmpty() ? QStringLiteral("Velurio") : name;
    m_type = type;
    m_port = port;
    m_txt = std::move(txt);
    ensureClient();
    if (m_client != nullptr && avahi_client_get_state(m_client) == AVAHI_CLIENT_S_RUNNING) {
        registerService();
    }
}

void AvahiServicePublisher::withdraw() {
    m_wanted = false;
    m_registered = false;
    if (m_group != nullptr) {
        avahi_entry_group_reset(m_group);
    }
}

void AvahiServicePublisher::clientCallback(AvahiClient* client, int state, void* userdata) {
    auto* self = static_cast<AvahiServicePublisher*>(userdata);
    switch (static_cast<AvahiClientState>(state)) {
        case AVAHI_CLIENT_S_RUNNING:
            self->m_client = client;  // the callback can run inside avahi_client_new
            if (self->m_wanted) {
                self->registerService();
            }
            break;
        case AVAHI_CLIENT_S_COLLISION:
        case AVAHI_CLIENT_S_REGISTERING:
            // The host name is being (re)established: records come back once it runs again.
            self->m_registered = false;
            if (self->m_group != nullptr) {
                avahi_entry_group_reset(self->m_group);
            }
            break;
        case AVAHI_CLIENT_CONNECTING:
            qCWarning(lcAvahi) << "Velurio: nenhum daemon Avahi acessível; o serviço será "
                                  "anunciado quando ele aparecer";
            break;
        case AVAHI_CLIENT_FAILURE:
            qCWarning(lcAvahi) << "Velurio: falha no cliente Avahi:"
                               << avahi_strerror(avahi_client_errno(client));
            break;
    }
}

void AvahiServicePublisher::groupCallback(AvahiEntryGroup*, int state, void* userdata) {
    auto* self = static_cast<AvahiServicePublisher*>(userdata);
    switch (static_cast<AvahiEntryGroupState>(state)) {
        case AVAHI_ENTRY_GROUP_ESTABLISHED:
            self->m_registered = true;
            qCInfo(lcAvahi) << "service published as" << self->m_name;
            break;
        case AVAHI_ENTRY_GROUP_COLLISION:
            self->rename();
            break;
        case AVAHI_ENTRY_GROUP_FAILURE:
            qCWarning(lcAvahi) << "Velurio: falha ao anunciar o serviço:"
                               << avahi_strerror(avahi_client_errno(self->m_client));
            break;
        default:
            break;
    }
}

void AvahiServicePublisher::rename() {
    char* alternative = avahi_alternative_service_name(m_name.toUtf8().constData());
    qCInfo(lcAvahi) << "service name" << m_name << "taken; renaming to" << alternative;
    m_name = QString::fromUtf8(alternative);
    avahi_free(alternative);
    registerService();
}

void AvahiServicePublisher::registerService() {
    if (m_client == nullptr) {
        return;
    }
    if (m_group == nullptr) {
        m_group = avahi_entry_group_new(
            m_client,
            [](AvahiEntryGroup* g, AvahiEntryGroupState s, void* u) {
                groupCallback(g, static_cast<int>(s), u);
            },
            this);
        if (m_group == nullptr) {
            qCWarning(lcAvahi) << "Velurio: falha ao anunciar o serviço:"
                               << avahi_strerror(avahi_client_errno(m_client));
            return;
        }
    }
    avahi_entry_group_reset(m_group);
    m_registered = false;
    // avahi_string_list_add prepends and serialising reverses again: adding in order puts the
    // entries on the wire in order.
    AvahiStringList* txt = nullptr;
    for (const auto& [key, value] : m_txt) {
        txt = avahi_string_list_add_pair_arbitrary(
            txt, key.constData(), reinterpret_cast<const uint8_t*>(value.constData()),
            static_cast<size_t>(value.size()));
    }
    for (;;) {
        const int result = avahi_entry_group_add_service_strlst(
            m_group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, static_cast<AvahiPublishFlags>(0),
            m_name.toUtf8().constData(), m_type.constData(), nullptr, nullptr, m_port, txt);
        if (result == AVAHI_ERR_COLLISION) {
            char* alternative = avahi_alternative_service_name(m_name.toUtf8().constData());
            m_name = QString::fromUtf8(alternative);
            avahi_free(alternative);
            continue;
        }
        if (result < 0) {
            qCWarning(lcAvahi) << "Velurio: falha ao anunciar o serviço:" << avahi_strerror(result);
            avahi_string_list_free(txt);
            return;
        }
        break;
    }
    avahi_string_list_free(txt);
    const int committed = avahi_entry_group_commit(m_group);
    if (committed < 0) {
        qCWarning(lcAvahi) << "Velurio: falha ao anunciar o serviço:" << avahi_strerror(committed);
    }
}

}  // namespace velurio
