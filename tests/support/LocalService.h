#pragma once
// The service on 127.0.0.1 for tests: a small HTTP server, a port that refuses connections,
// and the installer's own icon address pointed at either, so that no run in a test looks up
// a name or leaves this machine.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "service/ServiceAddresses.h"

inline const char kIconPath[] = "/files/bin_brivok_favicon.ico";

inline std::string IconBytes() {
    std::string icon("\0\0\1\0\1\0\20\20\0\0\1\0\x20\0", 14);
    for (int i = 0; i < 64; ++i) icon += static_cast<char>(i * 3);
    return icon;
}

// A TCP socket bound to a free port on 127.0.0.1 and held for the holder's life (Winsock
// started for it). Never listened on, it refuses connections (ClosedPort), and nobody else
// can take the port meanwhile.
class LoopbackPort {
public:
    LoopbackPort() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        socket_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        int length = sizeof(address);
        getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~LoopbackPort() {
        closesocket(socket_);
        WSACleanup();
    }
    LoopbackPort(const LoopbackPort&) = delete;
    LoopbackPort& operator=(const LoopbackPort&) = delete;
    int port() const { return port_; }
    SOCKET socket() const { return socket_; }

private:
    SOCKET socket_ = INVALID_SOCKET;
    int port_ = 0;
};
using ClosedPort = LoopbackPort;

// Answers every request on its own thread, one connection at a time: 200 with the icon,
// 404, or, after a delay, either of them; or it accepts and never answers, holding each
// connection until it is destroyed. Counts the connections and the request lines.
class HttpServer {
public:
    enum Reply { kIcon, kNotFound, kNever };
    explicit HttpServer(Reply reply, DWORD delayMs = 0) : reply_(reply), delayMs_(delayMs) {
        listen(listener_.socket(), 8);
        thread_ = CreateThread(nullptr, 0, &HttpServer::Serve, this, 0, nullptr);
    }
    ~HttpServer() {
        stop_ = true;
        WaitForSingleObject(thread_, 10000);
        CloseHandle(thread_);
        for (SOCKET held : held_) closesocket(held);
    }
    int port() const { return listener_.port(); }
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
            FD_SET(self->listener_.socket(), &readable);
            timeval wait = {0, 50000};
            if (select(0, &readable, nullptr, nullptr, &wait) <= 0) continue;
            SOCKET client = accept(self->listener_.socket(), nullptr, nullptr);
            if (client == INVALID_SOCKET) continue;
            ++self->connections_;
            if (self->reply_ == kNever) {
                self->held_.push_back(client);
                continue;
            }
            DWORD limitMs = 5000;  // a client that never sends must not hold the server
            setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limitMs), sizeof(limitMs));
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
                             "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
        send(client, answer.data(), static_cast<int>(answer.size()), 0);
        shutdown(client, SD_SEND);
    }

    Reply reply_;
    DWORD delayMs_;
    LoopbackPort listener_;
    HANDLE thread_ = nullptr;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::vector<SOCKET> held_;  // only the server thread touches it until the thread ends
    std::mutex lock_;
    std::vector<std::string> requests_;
};

inline std::wstring IconUrl(int port) {
    return L"http://127.0.0.1:" + std::to_wstring(port) + L"/files/bin_brivok_favicon.ico";
}

// Rewrites the icon address that RunInstaller in this process fetches, in place, to one on
// 127.0.0.1; the built root is never contacted. False when the local address is longer
// than the built one.
inline bool PointServiceAt(int port) {
    std::wstring url = IconUrl(port);
    auto* target = const_cast<wchar_t*>(kServiceIconUrl);
    if (url.size() + 1 > sizeof(kServiceIconUrl) / sizeof(wchar_t)) return false;
    DWORD protection = 0;
    if (!VirtualProtect(target, sizeof(kServiceIconUrl), PAGE_READWRITE, &protection)) return false;
    for (size_t i = 0; i <= url.size(); ++i) target[i] = url.c_str()[i];
    VirtualProtect(target, sizeof(kServiceIconUrl), protection, &protection);
    return true;
}
