// A private X server for one test: Xvfb on a free display number, optionally with picom
// (compositing) and openbox (a reparenting window manager), plus helpers that make windows of
// "another application" (a foreign _NET_WM_PID) or of this process, filled with one colour.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace velurio::test {

inline pid_t spawn(const std::vector<std::string>& argv, int keepFd = -1) {
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        const int devnull = ::open("/dev/null", O_WRONLY);
        dup2(devnull, 1);
        dup2(devnull, 2);
        (void)keepFd;
        execvp(args[0], args.data());
        _exit(127);
    }
    return pid;
}

inline bool run(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

class XSession {
  public:
    struct Options {
        bool picom = true;
        bool openbox = false;
        // False starts the server without the Composite extension (picom then cannot run).
        bool composite = true;
    };

    explicit XSession(Options options) {
        int fds[2];
        if (pipe(fds) != 0)
            return;
        m_xvfb = fork();
        if (m_xvfb == 0) {
            close(fds[0]);
            const std::string fd = std::to_string(fds[1]);
            const int devnull = ::open("/dev/null", O_WRONLY);
            dup2(devnull, 2);
            if (options.composite) {
                execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1920x1080x24",
                       "-noreset", "-nolisten", "tcp", static_cast<char*>(nullptr));
            } else {
                execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1920x1080x24",
                       "-noreset", "-nolisten", "tcp", "-extension", "Composite",
                       static_cast<char*>(nullptr));
            }
            _exit(127);
        }
        close(fds[1]);
        char buffer[32] = {};
        std::size_t got = 0;
        while (got < sizeof buffer - 1) {
            const ssize_t n = read(fds[0], buffer + got, sizeof buffer - 1 - got);
            if (n <= 0)
                break;
            got += static_cast<std::size_t>(n);
            if (std::strchr(buffer, '\n') != nullptr)
                break;
        }
        close(fds[0]);
        if (got == 0)
            return;
        m_display = ":" + std::string(buffer, std::strcspn(buffer, "\n"));
        setenv("DISPLAY", m_display.c_str(), 1);
        if (options.openbox) {
            m_openbox = spawn({"openbox", "--sm-disable", "--config-file", "/dev/null"});
            waitFor("_NET_SUPPORTING_WM_CHECK");
        }
        if (options.picom) {
            m_picom = spawn({"picom", "--backend", "xrender", "--config", "/dev/null"});
            waitFor("_NET_WM_CM_S0");
        }
    }

    ~XSession() {
        for (pid_t pid : {m_picom, m_openbox, m_xvfb}) {
            if (pid > 0) {
                kill(pid, SIGTERM);
                waitpid(pid, nullptr, 0);
            }
        }
    }

    bool ok() const { return !m_display.empty(); }
    // Ends the compositing manager (as when the user quits it mid-session).
    void stopCompositor() {
        if (m_picom <= 0)
            return;
        kill(m_picom, SIGTERM);
        waitpid(m_picom, nullptr, 0);
        m_picom = -1;
    }
    // Ends the X server itself (every client's connection breaks).
    void stopServer() {
        stopCompositor();
        for (pid_t* pid : {&m_openbox, &m_xvfb}) {
            if (*pid <= 0)
                continue;
            kill(*pid, SIGKILL);
            waitpid(*pid, nullptr, 0);
            *pid = -1;
        }
    }
    const std::string& display() const { return m_display; }

  private:
    // Waits until a window manager / compositor announces itself (a property on the root, or
    // an owned selection).
    void waitFor(const char* name) {
        xcb_connection_t* c = xcb_connect(m_display.c_str(), nullptr);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            auto* atom = xcb_intern_atom_reply(
                c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name),
                nullptr);
            bool present = false;
            if (atom != nullptr) {
                auto* owner = xcb_get_selection_owner_reply(
                    c, xcb_get_selection_owner(c, atom->atom), nullptr);
                present = owner != nullptr && owner->owner != 0;
                std::free(owner);
                if (!present) {
                    xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
                    auto* prop = xcb_get_property_reply(
                        c, xcb_get_property(c, 0, root, atom->atom, XCB_ATOM_ANY, 0, 1), nullptr);
                    present = prop != nullptr && prop->type != XCB_ATOM_NONE;
                    std::free(prop);
                }
            }
            std::free(atom);
            if (present)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        xcb_disconnect(c);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }

    std::string m_display;
    pid_t m_xvfb = -1;
    pid_t m_picom = -1;
    pid_t m_openbox = -1;
};

// A client connection that makes solid-colour windows.
class TestClient {
  public:
    TestClient() : m_c(xcb_connect(nullptr, nullptr)) {
        m_screen = xcb_setup_roots_iterator(xcb_get_setup(m_c)).data;
        auto* atom =
            xcb_intern_atom_reply(m_c, xcb_intern_atom(m_c, 0, 11, "_NET_WM_PID"), nullptr);
        m_pidAtom = atom != nullptr ? atom->atom : 0;
        std::free(atom);
    }
    ~TestClient() { xcb_disconnect(m_c); }

    // colour 0xRRGGBB; pid 0 = another application's window, else the given process id.
    xcb_window_t window(int x, int y, int w, int h, std::uint32_t colour, std::uint32_t pid = 0,
                        bool overrideRedirect = true) {
        const xcb_window_t id = xcb_generate_id(m_c);
        const std::uint32_t values[] = {colour, overrideRedirect ? 1u : 0u};
        xcb_create_window(m_c, XCB_COPY_FROM_PARENT, id, m_screen->root,
                          static_cast<std::int16_t>(x), static_cast<std::int16_t>(y),
                          static_cast<std::uint16_t>(w), static_cast<std::uint16_t>(h), 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, m_screen->root_visual,
                          XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
        const std::uint32_t owner = pid == 0 ? static_cast<std::uint32_t>(getpid()) + 100000u : pid;
        xcb_change_property(m_c, XCB_PROP_MODE_REPLACE, id, m_pidAtom, XCB_ATOM_CARDINAL, 32, 1,
                            &owner);
        xcb_map_window(m_c, id);
        sync();
        return id;
    }
    void move(xcb_window_t id, int x, int y) {
        const std::uint32_t values[] = {static_cast<std::uint32_t>(x),
                                        static_cast<std::uint32_t>(y)};
        xcb_configure_window(m_c, id, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, values);
        sync();
    }
    void destroy(xcb_window_t id) {
        xcb_destroy_window(m_c, id);
        sync();
    }
    void sync() { std::free(xcb_get_input_focus_reply(m_c, xcb_get_input_focus(m_c), nullptr)); }

  private:
    xcb_connection_t* m_c;
    xcb_screen_t* m_screen;
    xcb_atom_t m_pidAtom = 0;
};

}  // namespace velurio::test
