// Stand-in for the virtual serial port driver: a PnP function driver for root-enumerated
// nodes with hardware ID "VelmorVIRT\VelmorTidewell1". It registers the port driver's
// interface class and the COM-port interface class, enables both once the lower driver has
// started the device (in the order and with the pause that test knobs ask for), and answers the connection-setting I/O controls with storage kept per
// device. It carries no serial traffic; tests use it to see what the library sends.
//
// Buffer formats (METHOD_BUFFERED, little-endian):
//   set string: u32 N, then N UTF-16 units; exactly 4 + 2N bytes, no output buffer.
//   set number: exactly 4 bytes, no output buffer.
//   get:        no input; a string answers u32 N + N units (an empty string answers 4 zero
//               bytes), a number answers 4 bytes. An output buffer too small is refused.
// Anything else is refused with an error status and leaves the stored value as it was.

#include <ntddk.h>

#include "wharfdrv_controls.h"

#define WHARFDRV_TAG 0x66646857u // "Whdf" in pool dumps

enum { STRING_HOST, STRING_LOGIN, STRING_PASSWORD, STRING_DOMAIN, STRING_COUNT };
enum { NUMBER_PORT, NUMBER_TIMEOUT, NUMBER_ATTEMPTS, NUMBER_COUNT };

typedef struct {
    ULONG length;  // UTF-16 units
    WCHAR *chars;  // pool memory, NULL when empty
} stored_string;

typedef struct {
    PDEVICE_OBJECT self;
    PDEVICE_OBJECT lower;
    PDEVICE_OBJECT pdo;
    UNICODE_STRING port_interface;
    UNICODE_STRING comport_interface;
    BOOLEAN removed;
    BOOLEAN interfaces_enabled;
    KMUTEX lock;  // guards the settings below
    stored_string strings[STRING_COUNT];
    ULONG numbers[NUMBER_COUNT];
} device_extension;

// {A4C98EBA-8F1B-40DE-A882-212D33E92299}
static const GUID port_interface_class =
    {0xa4c98eba, 0x8f1b, 0x40de, {0xa8, 0x82, 0x21, 0x2d, 0x33, 0xe9, 0x22, 0x99}};
// GUID_DEVINTERFACE_COMPORT {86E0D1E0-8089-11D0-9CE4-08003E301F73}
static const GUID comport_interface_class =
    {0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};

static NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static void free_string(stored_string *s)
{
    if (s->chars)
        ExFreePoolWithTag(s->chars, WHARFDRV_TAG);
    s->chars = NULL;
    s->length = 0;
}

// Validates and stores a set-string buffer. The new copy is made before the old one goes, so
// a failed allocation keeps the previous value.
static NTSTATUS set_string(device_extension *ext, int which, const UCHAR *in, ULONG in_length)
{
    ULONG count;
    WCHAR *copy = NULL;

    if (in_length < sizeof(ULONG))
        return STATUS_INVALID_PARAMETER;
    RtlCopyMemory(&count, in, sizeof(count));
    if (count > WHARFDRV_MAX_STRING || in_length != sizeof(ULONG) + count * sizeof(WCHAR))
        return STATUS_INVALID_PARAMETER;
    if (count) {
        copy = ExAllocatePoolWithTag(NonPagedPool, count * sizeof(WCHAR), WHARFDRV_TAG);
        if (!copy)
            return STATUS_INSUFFICIENT_RESOURCES;
        RtlCopyMemory(copy, in + sizeof(ULONG), count * sizeof(WCHAR));
    }
    KeWaitForSingleObject(&ext->lock, Executive, KernelMode, FALSE, NULL);
    free_string(&ext->strings[which]);
    ext->strings[which].chars = copy;
    ext->strings[which].length = count;
    KeReleaseMutex(&ext->lock, FALSE);
    return STATUS_SUCCESS;
}

static NTSTATUS get_string(device_extension *ext, int which, UCHAR *out, ULONG out_length,
                           ULONG_PTR *written)
{
    NTSTATUS status = STATUS_SUCCESS;
    ULONG count, needed;

    KeWaitForSingleObject(&ext->lock, Executive, KernelMode, FALSE, NULL);
    count = ext->strings[which].length;
    needed = sizeof(ULONG) + count * sizeof(WCHAR);
    if (out_length < needed) {
        status = STATUS_BUFFER_TOO_SMALL;
    } else {
        RtlCopyMemory(out, &count, sizeof(count));
        if (count)
            RtlCopyMemory(out + sizeof(ULONG), ext->strings[which].chars, count * sizeof(WCHAR));
        *written = needed;
    }
    KeReleaseMutex(&ext->lock, FALSE);
    return status;
}

static NTSTATUS set_number(device_extension *ext, int which, const UCHAR *in, ULONG in_length)
{
    ULONG value;

    if (in_length != sizeof(ULONG))
        return STATUS_INVALID_PARAMETER;
    RtlCopyMemory(&value, in, sizeof(value));
    KeWaitForSingleObject(&ext->lock, Executive, KernelMode, FALSE, NULL);
    ext->numbers[which] = value;
    KeReleaseMutex(&ext->lock, FALSE);
    return STATUS_SUCCESS;
}

static NTSTATUS get_number(device_extension *ext, int which, UCHAR *out, ULONG out_length,
                           ULONG_PTR *written)
{
    ULONG value;

    if (out_length < sizeof(ULONG))
        return STATUS_BUFFER_TOO_SMALL;
    KeWaitForSingleObject(&ext->lock, Executive, KernelMode, FALSE, NULL);
    value = ext->numbers[which];
    KeReleaseMutex(&ext->lock, FALSE);
    RtlCopyMemory(out, &value, sizeof(value));
    *written = sizeof(ULONG);
    return STATUS_SUCCESS;
}

static NTSTATUS WINAPI dispatch_control(PDEVICE_OBJECT device, PIRP irp)
{
    device_extension *ext = device->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG in_length = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out_length = stack->Parameters.DeviceIoControl.OutputBufferLength;
    UCHAR *buffer = irp->AssociatedIrp.SystemBuffer;
    ULONG_PTR written = 0;
    NTSTATUS status;
    int is_set = (code & (FILE_WRITE_ACCESS << 14)) != 0;

    if (ext->removed)
        return complete(irp, STATUS_DELETE_PENDING, 0);
    // A set carries exactly its input and expects nothing back; a get carries no input.
    if (is_set ? out_length != 0 : in_length != 0)
        return complete(irp, STATUS_INVALID_PARAMETER, 0);
    if ((in_length || out_length) && !buffer)
        return complete(irp, STATUS_INVALID_PARAMETER, 0);

    switch (code) {
    case IOCTL_WHARFDRV_GET_REMOTE_HOST:
        status = get_string(ext, STRING_HOST, buffer, out_length, &written); break;
    case IOCTL_WHARFDRV_SET_REMOTE_HOST:
        status = set_string(ext, STRING_HOST, buffer, in_length); break;
    case IOCTL_WHARFDRV_GET_REMOTE_PORT:
        status = get_number(ext, NUMBER_PORT, buffer, out_length, &written); break;
    case IOCTL_WHARFDRV_SET_REMOTE_PORT:
        status = set_number(ext, NUMBER_PORT, buffer, in_length); break;
    case IOCTL_WHARFDRV_GET_CONNECTION_TIMEOUT:
        status = get_number(ext, NUMBER_TIMEOUT, buffer, out_length, &written); break;
    case IOCTL_WHARFDRV_SET_CONNECTION_TIMEOUT:
        status = set_number(ext, NUMBER_TIMEOUT, buffer, in_length); break;
    case IOCTL_WHARFDRV_GET_CONNECTION_ATTEMPTS:
        status = get_number(ext, NUMBER_ATTEMPTS, buffer, out_length, &written); break;
    case IOCTL_WHARFDRV_SET_CONNECTION_ATTEMPTS:
        status = set_number(ext, NUMBER_ATTEMPTS, buffer, in_length); break;
    case IOCTL_WHARFDRV_GET_LOGIN:
        status = get_string(ext, STRING_LOGIN, buffer, out_length, &written); break;
    case IOCTL_WHARFDRV_SET_LOGIN:
        status = set_string(ext, STRING_LOGIN, buffer, in_length); break;
    case IOCTL_WHARFDRV_SET_PASSWORD:
        status = set_string(ext, STRING_PASSWORD, buffer, in_length); break;
    case IOCTL_WHARFDRV_GET_DOMAIN:
        status = get_string(ext, STRING_DOMAIN, buffer, out_length, &written); break;
    case IOCTL_WHARFDRV_SET_DOMAIN:
        status = set_string(ext, STRING_DOMAIN, buffer, in_length); break;
    case IOCTL_WHARFDRV_TEST_GET_PASSWORD:
        status = get_string(ext, STRING_PASSWORD, buffer, out_length, &written); break;
    default:
        status = STATUS_INVALID_DEVICE_REQUEST; break;
    }
    return complete(irp, status, NT_SUCCESS(status) ? written : 0);
}

static NTSTATUS WINAPI dispatch_create_close(PDEVICE_OBJECT device, PIRP irp)
{
    device_extension *ext = device->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);

    if (stack->MajorFunction == IRP_MJ_CREATE && ext->removed)
        return complete(irp, STATUS_DELETE_PENDING, 0);
    return complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS WINAPI signal_completion(PDEVICE_OBJECT device, PIRP irp, void *context)
{
    (void)device; (void)irp;
    KeSetEvent((PKEVENT)context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the IRP down the stack and waits until the lower drivers have completed it.
static NTSTATUS forward_and_wait(device_extension *ext, PIRP irp)
{
    KEVENT done;
    NTSTATUS status;

    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, signal_completion, &done, TRUE, TRUE, TRUE);
    status = IoCallDriver(ext->lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        status = irp->IoStatus.Status;
    }
    return status;
}

static NTSTATUS pass_down(device_extension *ext, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext->lower, irp);
}

// A DWORD knob of HKLM\Software\WharfTest\Doubles (see support/doubles_knobs.h); 0 when
// it is absent or of another type. Read at each use, so that a test can change it live.
static ULONG read_knob(const WCHAR *name)
{
    UNICODE_STRING path, value_name;
    OBJECT_ATTRIBUTES attributes;
    HANDLE key;
    UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
    KEY_VALUE_PARTIAL_INFORMATION *info = (KEY_VALUE_PARTIAL_INFORMATION *)buffer;
    ULONG length = 0, value = 0;

    RtlInitUnicodeString(&path, L"\\Registry\\Machine\\Software\\WharfTest\\Doubles");
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_QUERY_VALUE, &attributes)))
        return 0;
    RtlInitUnicodeString(&value_name, name);
    if (NT_SUCCESS(ZwQueryValueKey(key, &value_name, KeyValuePartialInformation, info, sizeof(buffer), &length)) &&
        info->Type == REG_DWORD && info->DataLength == sizeof(ULONG))
        RtlCopyMemory(&value, info->Data, sizeof(value));
    ZwClose(key);
    return value;
}

// Enables or disables both interfaces, the driver's own first unless a knob says otherwise,
// with a pause between the two when a knob asks for one: the platform then announces them
// apart, as a real driver may. A state the interfaces already have is left alone (a surprise
// removal is followed by the removal).
static void set_interfaces(device_extension *ext, BOOLEAN enable)
{
    UNICODE_STRING *first = &ext->port_interface, *second = &ext->comport_interface;
    ULONG pause_ms;

    if (ext->interfaces_enabled == enable)
        return;
    ext->interfaces_enabled = enable;
    if (read_knob(L"DriverComPortInterfaceFirst")) {
        first = &ext->comport_interface;
        second = &ext->port_interface;
    }
    pause_ms = read_knob(L"DriverInterfacePause");
    if (first->Buffer)
        IoSetDeviceInterfaceState(first, enable);
    if (pause_ms) {
        LARGE_INTEGER interval;
        interval.QuadPart = -(LONGLONG)pause_ms * 10000; // relative, in 100 ns units
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
    if (second->Buffer)
        IoSetDeviceInterfaceState(second, enable);
}

static NTSTATUS WINAPI dispatch_pnp(PDEVICE_OBJECT device, PIRP irp)
{
    device_extension *ext = device->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status;
    int i;

    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        status = forward_and_wait(ext, irp);
        if (NT_SUCCESS(status))
            set_interfaces(ext, TRUE);
        return complete(irp, status, irp->IoStatus.Information);

    case IRP_MN_SURPRISE_REMOVAL:
        ext->removed = TRUE;
        set_interfaces(ext, FALSE);
        irp->IoStatus.Status = STATUS_SUCCESS;
        return pass_down(ext, irp);

    case IRP_MN_REMOVE_DEVICE:
        ext->removed = TRUE;
        set_interfaces(ext, FALSE);
        irp->IoStatus.Status = STATUS_SUCCESS;
        status = pass_down(ext, irp);
        RtlFreeUnicodeString(&ext->port_interface);
        RtlFreeUnicodeString(&ext->comport_interface);
        for (i = 0; i < STRING_COUNT; ++i)
            free_string(&ext->strings[i]);
        IoDetachDevice(ext->lower);
        IoDeleteDevice(device);
        return status;

    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        return pass_down(ext, irp);

    default:
        return pass_down(ext, irp);
    }
}

static NTSTATUS WINAPI dispatch_power(PDEVICE_OBJECT device, PIRP irp)
{
    device_extension *ext = device->DeviceExtension;

    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(ext->lower, irp);
}

static NTSTATUS WINAPI add_device(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT device;
    device_extension *ext;
    NTSTATUS status;

    status = IoCreateDevice(driver, sizeof(device_extension), NULL, FILE_DEVICE_UNKNOWN,
                            FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    ext = device->DeviceExtension;
    RtlZeroMemory(ext, sizeof(*ext));
    ext->self = device;
    ext->pdo = pdo;
    KeInitializeMutex(&ext->lock, 0);

    status = IoRegisterDeviceInterface(pdo, &port_interface_class, NULL, &ext->port_interface);
    if (NT_SUCCESS(status))
        status = IoRegisterDeviceInterface(pdo, &comport_interface_class, NULL,
                                           &ext->comport_interface);
    if (NT_SUCCESS(status)) {
        ext->lower = IoAttachDeviceToDeviceStack(device, pdo);
        if (!ext->lower)
            status = STATUS_NO_SUCH_DEVICE;
    }
    if (!NT_SUCCESS(status)) {
        RtlFreeUnicodeString(&ext->port_interface);
        RtlFreeUnicodeString(&ext->comport_interface);
        IoDeleteDevice(device);
        return status;
    }
    device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

static void WINAPI driver_unload(PDRIVER_OBJECT driver)
{
    (void)driver;
}

NTSTATUS WINAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path)
{
    (void)registry_path;
    driver->DriverExtension->AddDevice = add_device;
    driver->DriverUnload = driver_unload;
    driver->MajorFunction[IRP_MJ_CREATE] = dispatch_create_close;
    driver->MajorFunction[IRP_MJ_CLEANUP] = dispatch_create_close;
    driver->MajorFunction[IRP_MJ_CLOSE] = dispatch_create_close;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch_control;
    driver->MajorFunction[IRP_MJ_PNP] = dispatch_pnp;
    driver->MajorFunction[IRP_MJ_POWER] = dispatch_power;
    return STATUS_SUCCESS;
}
