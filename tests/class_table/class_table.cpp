// Which class provides each virtual operation the device family touches: a member pointer to an
// inherited operation has the type of the class that declares it. The host's table order and
// the device classes' own operations must stay as listed.
#include <type_traits>

#include <json/value.h>

#include "battery/battery.h"
#include "string_device/battery32.h"
#include "string_device/ondrell20.h"
#include "string_device/uni_data_device.h"

namespace {

template <typename Declaring, typename MemberPointer>
struct DeclaredIn;
template <typename Declaring, typename Class, typename Signature>
struct DeclaredIn<Declaring, Signature Class::*> : std::is_same<Declaring, Class> {};

template <typename Declaring, typename MemberPointer>
constexpr bool kDeclaredIn = DeclaredIn<Declaring, MemberPointer>::value;

// LoadFromCache is overloaded: deduction picks the byte-wise one and names the class that
// declares it.
template <typename Class>
Class* BytewiseLoad(bool (Class::*)(const unsigned char*, int));
template <typename Declaring, typename Device>
constexpr bool kBytewiseLoadIn =
    std::is_same_v<Declaring*, decltype(BytewiseLoad(&Device::LoadFromCache))>;

using Uni = BatteryStringDevice;

// Battery
static_assert(kDeclaredIn<Battery, decltype(&Battery::Get_Value)>);
static_assert(kBytewiseLoadIn<VDeviceInterface, Battery>);
static_assert(kDeclaredIn<Battery, decltype(&Battery::DeviceIoControl)>);
static_assert(kDeclaredIn<Battery, decltype(&Battery::RoundDone)>);
static_assert(kDeclaredIn<Battery, decltype(&Battery::InitSetting)>);
static_assert(kDeclaredIn<Battery, decltype(&Battery::RefreshStatus)>);
static_assert(kDeclaredIn<Battery, decltype(&Battery::process)>);
static_assert(kDeclaredIn<Battery, decltype(&Battery::ProcessBatteryVoltage)>);

// UniDataDevice
static_assert(kDeclaredIn<Battery, decltype(&Uni::Get_Value)>);
static_assert(kBytewiseLoadIn<Uni, Uni>);
static_assert(kDeclaredIn<Battery, decltype(&Uni::DeviceIoControl)>);
static_assert(kDeclaredIn<Uni, decltype(&Uni::RoundDone)>);
static_assert(kDeclaredIn<Uni, decltype(&Uni::InitSetting)>);
static_assert(kDeclaredIn<Battery, decltype(&Uni::RefreshStatus)>);
static_assert(kDeclaredIn<Battery, decltype(&Uni::process)>);
static_assert(kDeclaredIn<Uni, decltype(&Uni::RunCheckThreshold)>);

// Battery32
static_assert(kDeclaredIn<Battery32, decltype(&Battery32::Get_Value)>);
static_assert(kBytewiseLoadIn<Battery32, Battery32>);
static_assert(kDeclaredIn<Battery, decltype(&Battery32::DeviceIoControl)>);
static_assert(kDeclaredIn<Uni, decltype(&Battery32::RoundDone)>);
static_assert(kDeclaredIn<Uni, decltype(&Battery32::InitSetting)>);
static_assert(kDeclaredIn<Battery, decltype(&Battery32::RefreshStatus)>);
static_assert(kDeclaredIn<Battery, decltype(&Battery32::process)>);
static_assert(kDeclaredIn<Battery32, decltype(&Battery32::ProcessBatteryVoltage)>);
static_assert(kDeclaredIn<Battery32, decltype(&Battery32::RunCheckThreshold)>);

// Ondrell20: only its own cell decoder.
static_assert(kDeclaredIn<Battery32, decltype(&Ondrell20::Get_Value)>);
static_assert(kBytewiseLoadIn<Battery32, Ondrell20>);
static_assert(kDeclaredIn<Battery, decltype(&Ondrell20::DeviceIoControl)>);
static_assert(kDeclaredIn<Uni, decltype(&Ondrell20::RoundDone)>);
static_assert(kDeclaredIn<Uni, decltype(&Ondrell20::InitSetting)>);
static_assert(kDeclaredIn<Battery, decltype(&Ondrell20::RefreshStatus)>);
static_assert(kDeclaredIn<Battery, decltype(&Ondrell20::process)>);
static_assert(kDeclaredIn<Ondrell20, decltype(&Ondrell20::ProcessBatteryVoltage)>);
static_assert(kDeclaredIn<Battery32, decltype(&Ondrell20::RunCheckThreshold)>);

// Battery and UniDataDevice are abstract; the two string devices can be made.
static_assert(std::is_abstract_v<Battery>);
static_assert(std::is_abstract_v<Uni>);
static_assert(!std::is_abstract_v<Battery32>);
static_assert(!std::is_abstract_v<Ondrell20>);

}  // namespace
