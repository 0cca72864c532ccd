// The types of a typed value (docs/design-notes.md, "Typed values"): what a
// typed field description names, as the gateway writes it and clients read it.
// Installed with the client headers (varnex/value_type.h), so it includes
// nothing of this tree.
#pragma once

namespace dqp {

// The value types a typed description names.
enum class ValueType {
    Bool,
    Int,
    Decimal,
    Float,
    Date,
    Time,
    TimeTz,
    Timestamp,
    TimestampTz,
    Text,
    Bytes,
    Other,
};

}  // namespace dqp
