// The icon prefetch against Wine's own URL moniker and a small HTTP server that this test
// runs on 127.0.0.1; the shell's create notifications are watched through a registration
// of this process, which is where the prefetch sends them.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <shlobj.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "shortcuts/PrefetchIcon.h"
#include "tests/support/MessageBoxReader.h"
#include "tests/support/TestEnvironment.h"

namespace {

const char kIconPath[] = "/files/bin_brivok_favicon.ico";

std::string IconBytes() {
    std::string icon("\0\0\1\0\1\0\20\20\0\0\1\0\x20\0", 14);
    for (int i = 0; i < 64; ++i) icon += static_cast<char>(i * 3);
    return icon;
}

// Answers every request on its own thread, one connection at a time: 200 with the icon,
// 404, or, after a delay, either of them; or it accepts and never answers, holding each
// connection until it is destroyed. Counts the connections and the request lines.
class HttpServer {
public:
    enum Reply { kIcon, kNotFound, kNever };
    explicit HttpServer(Reply reply, DWORD delayMs = 0) : reply_(reply), delayMs_(delayMs) {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        int length = sizeof(address);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        listen(listener_, 8);
        thread_ = CreateThread(nullptr, 0, &HttpServer::Serve, this, 0, nullptr);
    }
    ~HttpServer() {
        stop_ = true;
        WaitForSingleObject(thread_, 10000);
        CloseHandle(thread_);
        for (SOCKET held : held_) closesocket(held);
        closesocket(listener_);
        WSACleanup();
    }
    int port() const { return port_; }
    int connections() const { return connections_; }
    std::vector<std::string> Requests() {
        std::lock_guard<std::mutex> hold(lock_);
        return requests_;
    }

private:
    static DWORD WINAPI Serve(void* parameter) {
        auto* self = static_cast<HttpServer*>(parameter);
        while (!self->stop_) {
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(self->listener_, &readable);
            timeval wait = {0, 50000};
            if (select(0, &readable, nullptr, nullptr, &wait) <= 0) continue;
            SOCKET client = accept(self->listener_, nullptr, nullptr);
            if (client == INVALID_SOCKET) continue;
            ++self->connections_;
            if (self->reply_ == kNever) {
                self->held_.push_back(client);
                continue;
            }
            DWORD limitMs = 5000;  // a client that never sends must not hold the server
            setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limitMs),
                       sizeof(limitMs));
            self->Answer(client);
            closesocket(client);
        }
        return 0;
    }
    void Answer(SOCKET client) {
        std::string request;
        char buffer[1024];
        while (request.find("\r\n\r\n") == std::string::npos) {
            int got = recv(client, buffer, sizeof(buffer), 0);
            if (got <= 0) break;
            request.append(buffer, got);
        }
        {
            std::lock_guard<std::mutex> hold(lock_);
            requests_.push_back(request.substr(0, request.find("\r\n")));
        }
        if (delayMs_) Sleep(delayMs_);
        bool found = reply_ == kIcon;
        std::string body = found ? IconBytes() : std::string("<html>not here</html>");
        std::string answer = std::string(found ? "HTTP/1.1 200 OK\r\nContent-Type: image/x-icon\r\n"
                                               : "HTTP/1.1 404 Not Found\r\nContent-Type: text/html\r\n") +
                             "Content-Length: " + std::to_string(body.size()) +
                             "\r\nConnection: close\r\n\r\n" + body;
        send(client, answer.data(), static_cast<int>(answer.size()), 0);
        shutdown(client, SD_SEND);
    }

    Reply reply_;
    DWORD delayMs_;
    SOCKET listener_ = INVALID_SOCKET;
    int port_ = 0;
    HANDLE thread_ = nullptr;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::vector<SOCKET> held_;  // only the server thread touches it until the thread ends
    std::mutex lock_;
    std::vector<std::string> requests_;
};

// A port on 127.0.0.1 that refuses connections: bound once, then closed again.
int ClosedPort() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    int length = sizeof(address);
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    closesocket(probe);
    WSACleanup();
    return ntohs(address.sin_port);
}

// Create notifications the shell delivers to this process, with their paths.
class CreateWatcher {
public:
    CreateWatcher() {
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = &CreateWatcher::Procedure;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"BrivokCreateWatcher";
        RegisterClassW(&windowClass);
        window_ = CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                  nullptr, windowClass.hInstance, nullptr);
        SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        SHChangeNotifyEntry entry = {nullptr, TRUE};  // the desktop and everything below it
        registration_ = SHChangeNotifyRegister(window_, SHCNRF_ShellLevel | SHCNRF_InterruptLevel,
                                               SHCNE_CREATE, kMessage, 1, &entry);
    }
    ~CreateWatcher() {
        if (registration_) SHChangeNotifyDeregister(registration_);
        DestroyWindow(window_);
    }
    bool registered() const { return registration_ != 0; }

    // Everything delivered so far, after the pending messages were handled.
    std::vector<std::wstring> Paths() {
        MSG message;
        DWORD end = GetTickCount() + 200;
        while (static_cast<LONG>(end - GetTickCount()) > 0) {
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
            Sleep(10);
        }
        return paths_;
    }

private:
    static constexpr UINT kMessage = WM_APP + 7;
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM w, LPARAM l) {
        if (message == kMessage) {
            auto* self = reinterpret_cast<CreateWatcher*>(GetWindowLongPtrW(window, GWLP_USERDATA));
            auto** items = reinterpret_cast<PIDLIST_ABSOLUTE*>(w);
            wchar_t path[MAX_PATH] = L"(no path)";
            if (items && items[0]) SHGetPathFromIDListW(items[0], path);
            if (self && (l & SHCNE_CREATE)) self->paths_.push_back(path);
            return 0;
        }
        return DefWindowProcW(window, message, w, l);
    }
    HWND window_ = nullptr;
    ULONG registration_ = 0;
    std::vector<std::wstring> paths_;
};

std::wstring IconUrl(int port) {
    return L"http://127.0.0.1:" + std::to_wstring(port) + L"/files/bin_brivok_favicon.ico";
}

class ComApartment : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(CoInitialize(nullptr), S_OK); }
    void TearDown() override { CoUninitialize(); }
};

TEST_F(ComApartment, PrefetchIconFetchesOnceAndAnnouncesTheCachedFile) {
    HttpServer server(HttpServer::kIcon);
    CreateWatcher watcher;
    ASSERT_TRUE(watcher.registered());

    PrefetchIcon(IconUrl(server.port()).c_str());

    std::vector<std::string> requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0], std::string("GET ") + kIconPath + " HTTP/1.1");
    std::vector<std::wstring> created = watcher.Paths();
    ASSERT_EQ(created.size(), 1u) << "create notifications";
    std::string contents;
    ASSERT_TRUE(ReadWholeFile(created[0], &contents)) << Narrow(created[0]);
    EXPECT_EQ(contents, IconBytes());
}

TEST_F(ComApartment, PrefetchIconFetchesAgainOnEveryRun) {
    // Wine's cache never answers for the server, so each call sends its own request. urlmon
    // stays loaded between the calls: unloading and loading it again in one process made a
    // later download under Wine wait for good for a completion that had already happened.
    HttpServer server(HttpServer::kIcon);
    CreateWatcher watcher;
    ASSERT_TRUE(watcher.registered());
    PrefetchIcon(IconUrl(server.port()).c_str());
    ASSERT_EQ(server.Requests().size(), 1u);
    ASSERT_EQ(watcher.Paths().size(), 1u);
    EXPECT_NE(GetModuleHandleW(L"urlmon.dll"), nullptr) << "urlmon was unloaded after the download";
    PrefetchIcon(IconUrl(server.port()).c_str());
    EXPECT_EQ(server.Requests().size(), 2u);
    std::vector<std::wstring> created = watcher.Paths();
    ASSERT_EQ(created.size(), 2u);
    EXPECT_NE(GetFileAttributesW(created[1].c_str()), INVALID_FILE_ATTRIBUTES) << Narrow(created[1]);
}

TEST_F(ComApartment, PrefetchIconAnnouncesACachedErrorPage) {
    // A 404 is still a successful download to the URL moniker; its page is what it cached.
    HttpServer server(HttpServer::kNotFound);
    CreateWatcher watcher;
    ASSERT_TRUE(watcher.registered());
    PrefetchIcon(IconUrl(server.port()).c_str());
    EXPECT_EQ(server.Requests().size(), 1u);
    std::vector<std::wstring> created = watcher.Paths();
    ASSERT_EQ(created.size(), 1u);
    std::string contents;
    ASSERT_TRUE(ReadWholeFile(created[0], &contents)) << Narrow(created[0]);
    EXPECT_EQ(contents, "<html>not here</html>");
}

TEST_F(ComApartment, PrefetchIconWaitsForAServiceThatAnswersAfterThreeSeconds) {
    HttpServer server(HttpServer::kIcon, 3000);
    CreateWatcher watcher;
    ASSERT_TRUE(watcher.registered());
    DWORD start = GetTickCount();
    PrefetchIcon(IconUrl(server.port()).c_str());
    DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed, 3000u);
    EXPECT_EQ(server.Requests().size(), 1u);
    std::vector<std::wstring> created = watcher.Paths();
    ASSERT_EQ(created.size(), 1u) << "create notifications after " << elapsed << " ms";
    std::string contents;
    ASSERT_TRUE(ReadWholeFile(created[0], &contents)) << Narrow(created[0]);
    EXPECT_EQ(contents, IconBytes());
}

TEST_F(ComApartment, PrefetchIconGivesUpOnAServiceThatNeverAnswers) {
    // The bound is 8 s; the download thread is left inside the call, and stays there until
    // the server lets go of the connection below.
    CreateWatcher watcher;
    ASSERT_TRUE(watcher.registered());
    {
        HttpServer server(HttpServer::kNever);
        DWORD start = GetTickCount();
        PrefetchIcon(IconUrl(server.port()).c_str());
        DWORD elapsed = GetTickCount() - start;
        EXPECT_GE(elapsed, 7900u);
        EXPECT_LT(elapsed, 11000u);
        EXPECT_EQ(server.connections(), 1);
        EXPECT_TRUE(watcher.Paths().empty()) << "a create notification for a stalled download";
    }
    // The abandoned download now ends; nobody announces it.
    Sleep(1000);
    EXPECT_TRUE(watcher.Paths().empty()) << "a create notification after the bound";
}

TEST_F(ComApartment, PrefetchIconIsSilentWhenTheServiceIsUnreachable) {
    CreateWatcher watcher;
    ASSERT_TRUE(watcher.registered());
    DWORD start = GetTickCount();
    PrefetchIcon(IconUrl(ClosedPort()).c_str());
    EXPECT_LT(GetTickCount() - start, 10000u);
    EXPECT_TRUE(watcher.Paths().empty()) << "a create notification for a failed download";
}

TEST_F(ComApartment, PrefetchIconNotificationsAreSeenByThisWatcher) {
    // Guards the tests above: a create notification for a file does reach the watcher.
    CreateWatcher watcher;
    ASSERT_TRUE(watcher.registered());
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    std::wstring path = std::wstring(folder) + L"watched.txt";
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    SHChangeNotify(SHCNE_CREATE, SHCNF_PATHW | SHCNF_FLUSH, path.c_str(), nullptr);
    std::vector<std::wstring> created = watcher.Paths();
    ASSERT_EQ(created.size(), 1u);
    EXPECT_EQ(lstrcmpiW(created[0].c_str(), path.c_str()), 0) << Narrow(created[0]);
    DeleteFileW(path.c_str());
}

}  // namespace
