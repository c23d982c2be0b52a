#pragma once
// A transport whose peer is the test: it delivers messages to Read, sees every Write and can
// hold writes back or close the stream.
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include <windows.h>

#include "arpc/transport.h"
#include "corun/corun.h"

class fake_transport final : public arpc::ITransport {
public:
    using read_state = corun::details::promise_type_<std::shared_ptr<arpc::message_t>>;
    using write_state = corun::details::promise_type_<void>;

    // The next Read gets message (now, or when it comes).
    void deliver(std::shared_ptr<arpc::Message> message)
    {
        auto item = std::make_shared<arpc::message_t>(arpc::message_t{std::move(message)});
        std::unique_lock guard(lock_);
        if (!readers_.empty()) {
            auto reader = readers_.front();
            readers_.pop_front();
            guard.unlock();
            reader->set_value(std::move(item));
            return;
        }
        incoming_.push_back(std::move(item));
    }

    // The stream ends: a waiting and every later Read fails with error.
    void end_stream(long error)
    {
        std::unique_lock guard(lock_);
        end_ = error;
        auto readers = std::move(readers_);
        readers_.clear();
        guard.unlock();
        for (auto& reader : readers)
            reader->set_exception(std::make_exception_ptr(corun::details::hresult_error(error)));
    }

    // Blocks until at least n messages have been written; returns them.
    std::vector<std::shared_ptr<arpc::Message>> wait_written(std::size_t n)
    {
        std::unique_lock guard(lock_);
        written_cv_.wait(lock_, [&] { return written_.size() >= n; });
        return written_;
    }
    std::size_t written_count()
    {
        std::lock_guard guard(lock_);
        return written_.size();
    }

    void hold_writes() { hold_ = true; }
    // Completes the held writes, or fails them with error.
    void release_writes(long error = 0)
    {
        std::unique_lock guard(lock_);
        auto held = std::move(held_);
        held_.clear();
        guard.unlock();
        for (auto& write : held) {
            if (error)
                write->set_exception(std::make_exception_ptr(corun::details::hresult_error(error)));
            else
                write->set_value();
        }
    }
    void fail_writes(long error) { write_error_ = error; }
    bool closed()
    {
        std::lock_guard guard(lock_);
        return closed_;
    }

    void SetCancellationToken(const corun::details::cancellation_source&) override {}
    const std::shared_ptr<corun::details::cancellation_source_body>& GetCancellationToken() const noexcept override
    {
        return source_;
    }
    void Cancel() noexcept override {}
    void Close() noexcept override
    {
        {
            std::lock_guard guard(lock_);
            closed_ = true;
        }
        end_stream(static_cast<long>(0x8007006DUL));
    }
    corun::details::future<std::shared_ptr<arpc::message_t>> Read() override
    {
        auto state = std::make_shared<read_state>();
        {
            std::unique_lock guard(lock_);
            if (!incoming_.empty()) {
                auto item = incoming_.front();
                incoming_.pop_front();
                guard.unlock();
                state->set_value(std::move(item));
            } else if (end_ != 0) {
                guard.unlock();
                state->set_exception(std::make_exception_ptr(corun::details::hresult_error(end_)));
            } else {
                readers_.push_back(state);
            }
        }
        co_return co_await corun::details::awaiting(*state);
    }
    corun::details::future<void> Write(std::shared_ptr<arpc::Message> message) override
    {
        if (write_error_ != 0)
            corun::throw_error(write_error_);
        auto state = std::make_shared<write_state>();
        {
            std::lock_guard guard(lock_);
            written_.push_back(std::move(message));
            written_cv_.notify_all();
            if (hold_)
                held_.push_back(state);
        }
        if (!hold_)
            state->set_value();
        co_await corun::details::awaiting(*state);
    }
    long Listen(std::wstring_view, arpc::security_descriptor&) override { return E_NOTIMPL; }
    corun::details::future<unsigned long> WaitClient(std::function<void()>, std::function<void()>) override
    {
        corun::throw_error(E_NOTIMPL);
        co_return 0;
    }
    long ImpersonateClient() override { return E_NOTIMPL; }
    long RevertToSelf() override { return E_NOTIMPL; }
    arpc::CToken GetClientToken(std::uint32_t, bool, bool) override { return {}; }
    long Connect(std::wstring_view, std::wstring_view, std::uint32_t, std::uint32_t) override { return E_NOTIMPL; }

private:
    corun::details::srw_lock lock_;
    corun::details::condition_variable written_cv_;
    std::deque<std::shared_ptr<arpc::message_t>> incoming_;
    std::deque<std::shared_ptr<read_state>> readers_;
    std::vector<std::shared_ptr<arpc::Message>> written_;
    std::vector<std::shared_ptr<write_state>> held_;
    std::atomic<bool> hold_{false};
    std::atomic<long> write_error_{0};
    long end_ = 0;
    bool closed_ = false;
    std::shared_ptr<corun::details::cancellation_source_body> source_ = std::make_shared<corun::details::cancellation_source_body>();
};
