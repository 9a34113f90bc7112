#pragma once
// The DLPack structures and constants, as the protocol fixes them in plain C.
// Both directions use them: a matrix's export and the reading of a producer's
// tensor.
#include <cstdint>

namespace kestrix::py::dlpack {

struct Device {
    std::int32_t device_type;
    std::int32_t device_id;
};
struct DataType {
    std::uint8_t code;
    std::uint8_t bits;
    std::uint16_t lanes;
};
struct Tensor {
    void* data;
    Device device;
    std::int32_t ndim;
    DataType dtype;
    std::int64_t* shape;
    std::int64_t* strides;  // in elements; null: C-contiguous
    std::uint64_t byte_offset;
};
struct ManagedTensor {
    Tensor dl_tensor;
    void* manager_ctx;
    void (*deleter)(ManagedTensor*);
};
struct Version {
    std::uint32_t major;
    std::uint32_t minor;
};
struct ManagedTensorVersioned {
    Version version;
    void* manager_ctx;
    void (*deleter)(ManagedTensorVersioned*);
    std::uint64_t flags;
    Tensor dl_tensor;
};

constexpr std::int32_t cpu_device = 1;

// Type codes.
constexpr std::uint8_t int_code = 0;
constexpr std::uint8_t uint_code = 1;
constexpr std::uint8_t float_code = 2;
constexpr std::uint8_t bfloat_code = 4;
constexpr std::uint8_t bool_code = 6;

// Flags of a versioned tensor.
constexpr std::uint64_t read_only_flag = 1;
constexpr std::uint64_t is_copied_flag = 2;

// The major version whose layout is the one above.
constexpr std::uint32_t known_major = 1;

constexpr const char* unversioned_name = "dltensor";
constexpr const char* versioned_name = "dltensor_versioned";
constexpr const char* used_unversioned_name = "used_dltensor";
constexpr const char* used_versioned_name = "used_dltensor_versioned";

}  // namespace kestrix::py::dlpack
