// Library::createPort: settles the COM number, creates the node and waits until the device
// list shows it.
#include "library.h"

#include <algorithm>
#include <exception>
#include <new>

#include "corun/errors.h"
#include "create_port_device.h"
#include "free_com_number.h"
#include "port_number_argument.h"
#include "trellum/com/guarded_call.h"
#include "wharfcore/com_number.h"
#include "wharfcore/enum_com_ports.h"

namespace wharfcore {
namespace {

constexpr int wait_steps = 60;
constexpr DWORD wait_step_ms = 500;

// Numbers whose ports this process is creating. A new node's COM-port interface may show up
// only some time after its installation, so the present ports alone cannot tell two
// concurrent creations apart. The lock also serialises the choice with the node's creation.
struct creations_in_process {
    corun::details::srw_lock lock;
    std::vector<std::uint32_t> numbers;
};

creations_in_process& creations() noexcept
{
    static creations_in_process state;
    return state;
}

// Holds a number reserved until createPort returns.
class reservation {
public:
    reservation() noexcept = default;
    reservation(const reservation&) = delete;
    reservation& operator=(const reservation&) = delete;
    ~reservation()
    {
        if (number_ == 0)
            return;
        auto& state = creations();
        std::unique_lock guard(state.lock);
        const auto found = std::find(state.numbers.begin(), state.numbers.end(), number_);
        if (found != state.numbers.end())
            state.numbers.erase(found);
    }
    // Called with the creations lock held.
    void hold(std::uint32_t number)
    {
        creations().numbers.push_back(number);
        number_ = number;
    }

private:
    std::uint32_t number_ = 0;
};

// A node createPort made, removed again (and its claim given back) when createPort is left by
// an exception of any kind after the node was made: a port the caller never receives must not
// stay behind.
class abandon_on_failure {
public:
    abandon_on_failure(const std::wstring& instanceId, const std::uint32_t& number, const bool& claimTookOver) noexcept
        : instanceId_(instanceId), number_(number), claimTookOver_(claimTookOver),
          exceptions_(std::uncaught_exceptions()) {}
    abandon_on_failure(const abandon_on_failure&) = delete;
    abandon_on_failure& operator=(const abandon_on_failure&) = delete;
    ~abandon_on_failure()
    {
        if (!instanceId_.empty() && std::uncaught_exceptions() > exceptions_)
            wharfcore::AbandonPortDevice(instanceId_, number_, claimTookOver_);
    }

private:
    const std::wstring& instanceId_;
    const std::uint32_t& number_;
    const bool& claimTookOver_;
    int exceptions_;
};

// Chooses the number and creates the node, both under the process-wide creations lock. The
// instance ID is stored as soon as the node exists, so that the caller's guard can undo it.
void create_node(const wharfcore::requested_port_number& requested, std::uint32_t& number, bool& claimTookOver,
                 reservation& reserved, std::wstring& instanceId)
{
    auto& state = creations();
    std::unique_lock guard(state.lock);

    std::vector<std::uint32_t> used = wharfcore::CollectUsedComNumbers(wharfcore::EnumComPorts());
    used.insert(used.end(), state.numbers.begin(), state.numbers.end());
    std::sort(used.begin(), used.end());

    number = requested.choose_free ? wharfcore::FindFreeComNumber(used) : requested.number;
    // Every number is taken: the free one found is beyond the last.
    if (number > wharfcore::max_com_number)
        corun::throw_error(E_INVALIDARG);
    if (std::binary_search(used.begin(), used.end(), number))
        corun::throw_error(wharfcore::port_in_use_error);

    instanceId = wharfcore::CreatePortDevice(number, claimTookOver);
    reserved.hold(number);
}

} // namespace

IRemotePortDevice* Library::waitForDevice(const std::wstring& instanceId)
{
    for (int step = 0;; ++step) {
        if (IRemotePortDevice* device = findDevice(instanceId))
            return device;
        if (step == wait_steps)
            break;
        Sleep(wait_step_ms);
        try {
            refreshDevices();
        } catch (const corun::details::hresult_error&) {
            // A failed scan is retried at the next step.
        }
    }
    corun::throw_win32_error(ERROR_TIMEOUT);
}

HRESULT Library::createPort(VARIANT PortName, IRemotePortDevice** ppDevice) noexcept
{
    if (!ppDevice)
        return E_POINTER;
    *ppDevice = nullptr;
    return Trellum::com::guarded_call([&] {
        const wharfcore::requested_port_number requested = wharfcore::PortNumberFromArgument(PortName);
        // Before anything is enumerated or locked: no other failure may hide a bad argument.
        if (!requested.choose_free && (requested.number == 0 || requested.number > wharfcore::max_com_number))
            corun::throw_error(E_INVALIDARG);
        reservation reserved;
        std::uint32_t number = 0;
        bool claimTookOver = false;
        std::wstring instanceId;
        const abandon_on_failure undo(instanceId, number, claimTookOver);
        create_node(requested, number, claimTookOver, reserved, instanceId);
        *ppDevice = waitForDevice(instanceId);
    });
}

} // namespace wharfcore
