#include <coroutine>
#include <mutex>

#include "arpc/connection.h"
#include "corun/blocking_wait.h"
#include "corun/errors.h"
#include "corun/thread_pool.h"

namespace arpc {

using corun::details::future;
using corun::details::hresult_error;

namespace {

constexpr long e_aborted = static_cast<long>(0x800703E3UL); // HRESULT_FROM_WIN32(ERROR_OPERATION_ABORTED)

void CALLBACK resume_waiter(PTP_CALLBACK_INSTANCE, void* context) noexcept
{
    std::coroutine_handle<>::from_address(context).resume();
}

// Stores result (the reply or the failure) in call and hands its waiter, if it has one, to the
// thread pool. When the pool refuses, the waiter is left in call, to be resumed by
// resume_left_waiter, and the result is false with the pool's error as last error.
template <class Store> bool complete(pending_call& call, Store&& store) noexcept
{
    std::coroutine_handle<> waiter;
    {
        std::lock_guard guard(call.lock);
        store(call.result);
        waiter = std::exchange(call.continuation, nullptr);
    }
    // A call that has not reached its await yet finds the result there.
    if (!waiter || TrySubmitThreadpoolCallback(&resume_waiter, waiter.address(), corun::details::module_callback_environment()))
        return true;
    const DWORD error = GetLastError();
    {
        std::lock_guard guard(call.lock);
        call.continuation = waiter;
    }
    SetLastError(error);
    return false;
}

bool fail(pending_call& call, const std::exception_ptr& error) noexcept
{
    return complete(call, [&](auto& result) { result.template emplace<1>(error); });
}

void resume_left_waiter(pending_call& call) noexcept
{
    std::coroutine_handle<> waiter;
    {
        std::lock_guard guard(call.lock);
        waiter = std::exchange(call.continuation, nullptr);
    }
    if (waiter)
        waiter.resume();
}

} // namespace

// The read loop's first local, so destroyed last: after the loop's own future has completed
// (a waiting Shutdown goes on) and the loop no longer touches the core. Only then may a caller
// run on the loop's thread, since it may destroy the connection.
struct ConnectionCore::refused_waiters {
    std::shared_ptr<pending_call> replied;
    pending_map failed;

    ~refused_waiters()
    {
        if (replied)
            resume_left_waiter(*replied);
        for (auto& [id, call] : failed)
            resume_left_waiter(*call);
    }
};

ConnectionCore::ConnectionCore(std::shared_ptr<ITransport> transport, IConnection* owner, bool is_server)
    : transport_(std::move(transport)), owner_(owner), origin_(is_server ? origin_server : origin_client),
      end_result_(std::make_shared<corun::details::promise_type_<long>>())
{
}

void ConnectionCore::Start()
{
    read_loop_ = ReadLoop();
}

future<bytes> ConnectionCore::Call(std::uint16_t method_id, bytes arguments)
{
    auto call = std::make_shared<pending_call>();
    std::uint32_t call_id = 0;
    {
        std::lock_guard guard(pending_lock_);
        if (ended_)
            std::rethrow_exception(ended_);
        // Registered before any byte goes out, so a reply that comes at once finds it. After
        // 2^32 calls the numbers wrap: one whose call still waits for its reply is skipped, or
        // that call would take this call's reply.
        do {
            call_id = next_call_id_.fetch_add(1, std::memory_order_relaxed);
        } while (!pending_.try_emplace(call_id, call).second);
    }
    {
        // Shutdown waits for this count: the failure path below still uses the core.
        writes_.count_up();
        corun::details::latch_guard writing(writes_);
        try {
            co_await transport_->Write(BuildCall(call_id, origin_, method_id, arguments));
        } catch (...) {
            // Nothing will answer a call that never went out.
            std::lock_guard guard(pending_lock_);
            pending_.erase(call_id);
            throw;
        }
    }
    co_await corun::details::check_cancelled{};
    co_return co_await corun::details::awaiting(*call);
}

std::exception_ptr ConnectionCore::EndLoop(const hresult_error& error)
{
    running_.exchange(false);
    const bool closing = closing_.load(std::memory_order_acquire);
    end_result_->set_value(closing ? S_OK : error.code());
    return closing ? std::make_exception_ptr(hresult_error(e_aborted)) : std::make_exception_ptr(error);
}

void ConnectionCore::EndCalls(std::exception_ptr error, refused_waiters& refused) noexcept
{
    // The entries leave the map by a swap, which allocates nothing: a connection out of memory
    // still fails every call that waits, or the caller that owns the connection would wait for
    // ever.
    pending_map calls;
    {
        std::lock_guard guard(pending_lock_);
        if (!ended_)
            ended_ = error;
        calls.swap(pending_);
    }
    // The failed calls whose waiters the pool refused stay in the map; the others leave it.
    std::erase_if(calls, [&](const pending_map::value_type& entry) { return fail(*entry.second, error); });
    refused.failed = std::move(calls);
}

future<void> ConnectionCore::ReadLoop()
{
    refused_waiters refused;
    corun::details::promise_base& self = co_await corun::details::current_promise{};
    std::exception_ptr end;
    // Nothing escapes this block: the loop's locals must outlive the completion of its future.
    try {
        co_await corun::resume_background();
        while (running_.load(std::memory_order_acquire)) {
            try {
                auto read = transport_->Read();
                self.throw_if_cancelled();
                std::shared_ptr<message_t> received = co_await read;
                Message& message = *received->message;
                if (message.origin == origin_) {
                    std::shared_ptr<pending_call> call;
                    {
                        std::lock_guard guard(pending_lock_);
                        auto found = pending_.find(message.call_id);
                        if (found != pending_.end()) {
                            call = std::move(found->second);
                            pending_.erase(found);
                        }
                    }
                    if (call) {
                        bytes reply;
                        try {
                            reply.assign(message.payload(), message.payload() + message.length);
                        } catch (...) {
                            // The call must not wait for a reply that was read and lost.
                            if (!fail(*call, std::current_exception()))
                                refused.replied = std::move(call);
                            throw;
                        }
                        if (!complete(*call, [&](auto& result) { result.template emplace<2>(std::move(reply)); })) {
                            refused.replied = std::move(call);
                            corun::throw_last_error();
                        }
                    }
                } else if (message.origin != origin_dropped) {
                    in_flight_.count_up();
                    try {
                        (void)ProcessRequest(std::move(received));
                    } catch (...) {
                        // The request's coroutine could not even be made.
                        in_flight_.count_down();
                        throw;
                    }
                }
            } catch (const corun::details::operation_cancelled&) {
                running_.exchange(false);
                end = std::current_exception();
            } catch (const hresult_error& error) {
                end = EndLoop(error);
            }
        }
    } catch (const hresult_error& error) {
        // The pool refused the first hop.
        try {
            end = EndLoop(error);
        } catch (...) {
            end = std::current_exception();
        }
    } catch (...) {
        end = std::current_exception();
    }
    EndCalls(end, refused);
    // The refused waiters are resumed by refused's destructor, which must run only after the
    // loop's future has completed: after a co_return the locals are destroyed once return_void
    // has returned, as the language has it. Flowing off the end is not the same with GCC 12,
    // which destroys the locals first, so this co_return must stay.
    co_return;
}

future<void> ConnectionCore::ProcessRequest(std::shared_ptr<message_t> request)
{
    // First in the frame, so the count drops last, after everything else has been used.
    corun::details::latch_guard guard(in_flight_);
    const Message& message = *request->message;
    bytes result = co_await owner_->HandleCall(message.method_id, bytes(message.payload(), message.payload() + message.length));
    if (result.empty())
        co_return;
    co_await transport_->Write(BuildReply(message, result));
}

void ConnectionCore::Shutdown() noexcept
{
    SetClosing();
    if (transport_)
        transport_->Close();
    if (read_loop_)
        corun::details::wait_until_ready(read_loop_.state());
    {
        std::lock_guard guard(pending_lock_);
        if (!ended_)
            ended_ = std::make_exception_ptr(hresult_error(e_aborted));
        for (auto& [id, call] : pending_)
            call->set_exception(std::make_exception_ptr(hresult_error(e_aborted)));
        pending_.clear();
    }
    in_flight_.wait_zero();
    writes_.wait_zero();
    read_loop_ = {};
    transport_.reset();
}

} // namespace arpc
