#include "archive/VObject.h"

#include "archive/CilaException.h"
#include "archive/PacketBuf.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <set>
#include <unordered_set>

namespace CILA {

namespace {

// Transport tags; a first byte with the top bit set is an integer instead.
enum Tag : std::uint8_t {
    TAG_NIL = 0,
    TAG_FALSE = 1,
    TAG_TRUE = 2,
    TAG_FLOAT = 3,
    TAG_DOUBLE = 4,
    TAG_HASH_KEY = 5,
    TAG_SYMBOL = 6,
    TAG_STRING = 7,
    TAG_HASH_START = 8,
    TAG_HASH_END = 9,
    TAG_VECTOR_START = 10,
    TAG_VECTOR_END = 11,
};

constexpr std::uint8_t kIntMark = 0x80, kIntNegative = 0x40, kIntMore = 0x20;
constexpr std::uint64_t kInt64MinMagnitude = std::uint64_t{1} << 63;
// Ten 7-bit groups cover 64 bits; a longer length cannot be real.
constexpr int kMaxLengthBytes = 10;

[[noreturn]] void fail(const char* text) {
    throw CilaRuntimeError(text);
}

// Names live in a set that never shrinks, so a symbol (a pointer to its name) stays valid for the life
// of the process. The table is never destroyed: symbols may be used by other static objects' destructors.
struct SymbolTable {
    std::mutex mutex;
    std::set<std::string, std::less<>> names;
    std::unordered_set<VObject::Symbol> issued;
};

SymbolTable& symbolTable() {
    static SymbolTable* table = new SymbolTable;
    return *table;
}

void writeLength(PacketBuf& out, std::uint64_t n) {
    do {
        std::uint8_t byte = n & 0x7F;
        n >>= 7;
        if (n != 0)
            byte |= 0x80;
        out.appendByte(byte);
    } while (n != 0);
}

void writeBytes(PacketBuf& out, std::uint8_t tag, const std::string& bytes) {
    out.appendByte(tag);
    writeLength(out, bytes.size());
    out.append(bytes.data(), bytes.size());
}

// Sign and magnitude. The magnitude is taken in unsigned arithmetic so that INT64_MIN (whose magnitude
// has no positive int64 form) is written like any other value.
void writeInt(PacketBuf& out, std::int64_t value) {
    std::uint64_t magnitude =
        value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    std::uint8_t first = kIntMark | (value < 0 ? kIntNegative : 0) | (magnitude & 0x1F);
    magnitude >>= 5;
    if (magnitude != 0)
        first |= kIntMore;
    out.appendByte(first);
    while (magnitude != 0) {
        std::uint8_t byte = magnitude & 0x7F;
        magnitude >>= 7;
        if (magnitude != 0)
            byte |= 0x80;
        out.appendByte(byte);
    }
}

void writeDouble(PacketBuf& out, double value) {
    const auto bits = std::bit_cast<std::uint64_t>(value);
    out.appendByte(TAG_DOUBLE);
    for (int shift = 56; shift >= 0; shift -= 8)
        out.appendByte(static_cast<std::uint8_t>(bits >> shift));
}

std::uint64_t readBigEndian(PacketBuf& in, std::size_t n) {
    std::uint64_t bits = 0;
    std::uint8_t byte = 0;
    for (std::size_t i = 0; i < n; ++i) {
        in.readByte(byte);
        bits = bits << 8 | byte;
    }
    return bits;
}

void appendQuoted(std::string& out, const std::string& text) {
    out += '"';
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    out += '"';
}

} // namespace

// --- construction and assignment ---

VObject::VObject(const char* text) : m_v(std::string(text ? text : "")) {}

VObject::VObject(const VObject& other) : m_v(other.m_v) {}

// A moved-from value is nil, never a hollow container.
VObject::VObject(VObject&& other) noexcept : m_v(std::move(other.m_v)) {
    other.m_v = std::monostate{};
}

VObject::~VObject() = default;

// The source may live inside this value (v = v.at(0)), so it is copied out before this value changes.
VObject& VObject::operator=(const VObject& other) {
    if (&other == this)
        return *this;
    checkAssignable(other);
    auto copy = other.m_v;
    m_v = std::move(copy);
    return *this;
}

VObject& VObject::operator=(VObject&& other) {
    if (&other == this)
        return *this;
    checkAssignable(other);
    auto taken = std::move(other.m_v);
    other.m_v = std::monostate{};
    m_v = std::move(taken);
    return *this;
}

VObject& VObject::operator=(std::nullptr_t) {
    m_v = std::monostate{};
    return *this;
}

VObject& VObject::operator=(std::shared_ptr<VObject> target) {
    if (!target)
        fail("VObject::operator=: won't assign null reference");
    if (target->leadsTo(this))
        fail("VObject::operator=: won't assign reference to self");
    m_v = Ref{std::move(target)};
    return *this;
}

void VObject::checkAssignable(const VObject& source) const {
    if (source.type() == DT_REF && source.leadsTo(this))
        fail("VObject::operator=: won't assign reference to self");
}

// Assignment refuses every reference that would close a loop, so the walk ends.
bool VObject::leadsTo(const VObject* target) const {
    for (const VObject* p = this;; p = std::get<Ref>(p->m_v).target.get()) {
        if (p == target)
            return true;
        if (p->type() != DT_REF)
            return false;
    }
}

const VObject& VObject::deref() const {
    const VObject* p = this;
    while (p->type() == DT_REF)
        p = std::get<Ref>(p->m_v).target.get();
    return *p;
}

VObject& VObject::deref() {
    return const_cast<VObject&>(std::as_const(*this).deref());
}

VObject VObject::makeHash() {
    VObject v;
    v.m_v = Box<Hash>();
    return v;
}

VObject VObject::makeVector() {
    VObject v;
    v.m_v = Box<Vector>();
    return v;
}

VObject VObject::makeSymbol(std::string_view name) {
    VObject v;
    v.m_v = intern(name);
    return v;
}

VObject VObject::makeUDT(std::shared_ptr<VUserObject> object) {
    VObject v;
    v.m_v = std::move(object);
    return v;
}

VObject VObject::makeRef(std::shared_ptr<VObject> target) {
    VObject v;
    v = std::move(target);
    return v;
}

// --- readers ---

std::int64_t VObject::getint() const {
    const VObject& v = deref();
    switch (v.type()) {
    case DT_INTEGER:
        return std::get<std::int64_t>(v.m_v);
    case DT_BOOL:
        return std::get<bool>(v.m_v) ? 1 : 0;
    case DT_DOUBLE: {
        const double d = std::get<double>(v.m_v);
        if (std::isnan(d))
            return 0;
        if (d >= 0x1p63)
            return INT64_MAX;
        if (d < -0x1p63)
            return INT64_MIN;
        return static_cast<std::int64_t>(d);
    }
    default:
        return 0;
    }
}

double VObject::getdouble() const {
    const VObject& v = deref();
    switch (v.type()) {
    case DT_INTEGER:
        return static_cast<double>(std::get<std::int64_t>(v.m_v));
    case DT_DOUBLE:
        return std::get<double>(v.m_v);
    case DT_BOOL:
        return std::get<bool>(v.m_v) ? 1.0 : 0.0;
    default:
        return 0.0;
    }
}

bool VObject::getbool() const {
    const VObject& v = deref();
    switch (v.type()) {
    case DT_NIL:
        return false;
    case DT_BOOL:
        return std::get<bool>(v.m_v);
    case DT_INTEGER:
        return std::get<std::int64_t>(v.m_v) != 0;
    case DT_DOUBLE:
        return std::get<double>(v.m_v) != 0.0;
    default:
        return true;
    }
}

const std::string& VObject::getstr() const {
    const VObject& v = deref();
    if (v.type() != DT_STR)
        fail("VObject::getstr: data type not DT_STR");
    return std::get<std::string>(v.m_v);
}

const VObject::Vector& VObject::getvec() const {
    const VObject& v = deref();
    if (v.type() != DT_VECTOR)
        fail("VObject::getvec: data type not DT_VECTOR");
    return *std::get<Box<Vector>>(v.m_v).p;
}

VObject::Vector& VObject::getvec() {
    return const_cast<Vector&>(std::as_const(*this).getvec());
}

const VObject::Hash& VObject::gethash() const {
    const VObject& v = deref();
    if (v.type() != DT_HASH)
        fail("VObject::gethash: data type not DT_HASH");
    return *std::get<Box<Hash>>(v.m_v).p;
}

VObject::Hash& VObject::gethash() {
    return const_cast<Hash&>(std::as_const(*this).gethash());
}

VObject::Symbol VObject::getsym() const {
    const VObject& v = deref();
    if (v.type() != DT_SYMBOL)
        fail("VObject::intern: data type not DT_SYMBOL");
    return std::get<Symbol>(v.m_v);
}

std::shared_ptr<VUserObject> VObject::getudt() const {
    const VObject& v = deref();
    return v.type() == DT_UDT ? std::get<std::shared_ptr<VUserObject>>(v.m_v) : nullptr;
}

VObject& VObject::getref() const {
    return *getrefptr();
}

std::shared_ptr<VObject> VObject::getrefptr() const {
    if (type() != DT_REF)
        fail("VObject::getref called on non-reference");
    return std::get<Ref>(m_v).target;
}

void VObject::unref() {
    if (type() != DT_REF)
        fail("VObject::unref called on non-reference");
    VObject value = deref();
    m_v = std::move(value.m_v);
}

std::size_t VObject::size() const {
    const VObject& v = deref();
    if (v.type() == DT_VECTOR)
        return std::get<Box<Vector>>(v.m_v).p->size();
    if (v.type() == DT_HASH)
        return std::get<Box<Hash>>(v.m_v).p->size();
    return 0;
}

void VObject::append(VObject value) {
    VObject& v = deref();
    if (v.type() != DT_VECTOR)
        fail("VObject::append called on non-vector object");
    std::get<Box<Vector>>(v.m_v).p->push_back(std::move(value));
}

void VObject::store(const std::string& key, VObject value) {
    VObject& v = deref();
    if (v.type() != DT_HASH)
        fail("VObject::store called on non-hash object");
    (*std::get<Box<Hash>>(v.m_v).p)[key] = std::move(value);
}

const VObject* VObject::fetch(const std::string& key) const {
    const VObject& v = deref();
    if (v.type() != DT_HASH)
        return nullptr;
    const Hash& hash = *std::get<Box<Hash>>(v.m_v).p;
    const auto it = hash.find(key);
    return it == hash.end() ? nullptr : &it->second;
}

VObject* VObject::fetch(const std::string& key) {
    if (dataType() != DT_HASH)
        fail("non-const VObject::fetch called on non-hash object");
    return const_cast<VObject*>(std::as_const(*this).fetch(key));
}

const VObject& VObject::at(std::size_t index) const {
    static const VObject nil;
    const VObject& v = deref();
    if (v.type() != DT_VECTOR)
        return nil;
    const Vector& vec = *std::get<Box<Vector>>(v.m_v).p;
    return index < vec.size() ? vec[index] : nil;
}

VObject& VObject::at(std::size_t index) {
    VObject& v = deref();
    if (v.type() != DT_VECTOR)
        fail("non-const VObject::at called on non-vector object");
    Vector& vec = *std::get<Box<Vector>>(v.m_v).p;
    if (index >= vec.size())
        fail("non-const VObject::at: index out of range");
    return vec[index];
}

void VObject::merge(const VObject& other) {
    VObject& self = deref();
    const VObject source = other.deref(); // a copy: `other` may live inside this value
    const DataType mine = self.type(), theirs = source.type();
    const auto structured = [](DataType t) { return t == DT_HASH || t == DT_VECTOR || t == DT_UDT; };
    if (mine == DT_HASH && theirs == DT_HASH) {
        for (const auto& [key, value] : source.gethash())
            self.gethash()[key] = value;
    } else if (mine == DT_VECTOR && theirs == DT_VECTOR) {
        for (const VObject& value : source.getvec())
            self.getvec().push_back(value);
    } else if (structured(mine) || structured(theirs)) {
        fail("VObject::merge: Won't merge disparate container and/or user-defined types.");
    } else {
        self.m_v = source.m_v;
    }
}

// --- symbols ---

VObject::Symbol VObject::intern() const {
    const VObject& v = deref();
    if (v.type() == DT_SYMBOL)
        return std::get<Symbol>(v.m_v);
    if (v.type() == DT_STR)
        return intern(std::get<std::string>(v.m_v));
    fail("VObject::intern: data type not DT_SYMBOL or DT_STR");
}

VObject::Symbol VObject::intern(std::string_view name) {
    SymbolTable& table = symbolTable();
    std::lock_guard lock(table.mutex);
    auto it = table.names.find(name);
    if (it == table.names.end()) {
        it = table.names.emplace(name).first;
        table.issued.insert(&*it);
    }
    return &*it;
}

const std::string& VObject::sym_lookup(Symbol symbol) {
    SymbolTable& table = symbolTable();
    std::lock_guard lock(table.mutex);
    if (!table.issued.count(symbol))
        fail("VObject::sym_lookup: supplied symbol value not found in map");
    return *symbol;
}

// --- comparison ---

bool VObject::operator==(const VObject& other) const {
    return equalsAt(other, 0);
}

bool VObject::equalsAt(const VObject& other, int depth) const {
    const VObject& a = deref();
    const VObject& b = other.deref();
    if (&a == &b)
        return true;
    if (a.type() != b.type())
        return false;
    switch (a.type()) {
    case DT_NIL:
        return true;
    case DT_DOUBLE: {
        const double x = std::get<double>(a.m_v), y = std::get<double>(b.m_v);
        return x == y || (std::isnan(x) && std::isnan(y));
    }
    case DT_HASH: {
        const Hash &x = a.gethash(), &y = b.gethash();
        if (x.size() != y.size())
            return false;
        for (auto i = x.begin(), j = y.begin(); i != x.end(); ++i, ++j) {
            if (i->first != j->first || !i->second.equalsAt(j->second, depth + 1))
                return false;
        }
        return true;
    }
    case DT_VECTOR: {
        const Vector &x = a.getvec(), &y = b.getvec();
        if (x.size() != y.size())
            return false;
        for (std::size_t i = 0; i < x.size(); ++i) {
            if (!x[i].equalsAt(y[i], depth + 1))
                return false;
        }
        return true;
    }
    case DT_INTEGER:
        return std::get<std::int64_t>(a.m_v) == std::get<std::int64_t>(b.m_v);
    case DT_BOOL:
        return std::get<bool>(a.m_v) == std::get<bool>(b.m_v);
    case DT_SYMBOL: // interned: one pointer per name
        return std::get<Symbol>(a.m_v) == std::get<Symbol>(b.m_v);
    case DT_STR:
        return std::get<std::string>(a.m_v) == std::get<std::string>(b.m_v);
    case DT_UDT:
        return std::get<std::shared_ptr<VUserObject>>(a.m_v) == std::get<std::shared_ptr<VUserObject>>(b.m_v);
    default:
        return false;
    }
}

// --- transport form ---

void VObject::serialize(PacketBuf& out) const {
    serializeAt(out, 0);
}

void VObject::serializeAt(PacketBuf& out, int depth) const {
    if (depth >= kMaxDepth)
        fail("VObject::serialize: maxdepth exceeded");
    switch (type()) {
    case DT_NIL:
        out.appendByte(TAG_NIL);
        break;
    case DT_INTEGER:
        writeInt(out, std::get<std::int64_t>(m_v));
        break;
    case DT_DOUBLE:
        writeDouble(out, std::get<double>(m_v));
        break;
    case DT_BOOL:
        out.appendByte(std::get<bool>(m_v) ? TAG_TRUE : TAG_FALSE);
        break;
    case DT_SYMBOL: {
        const Symbol symbol = std::get<Symbol>(m_v);
        if (!symbol)
            fail("VObject::serialize: internal error: SYMBOL symbal points to NULL symbol data");
        writeBytes(out, TAG_SYMBOL, *symbol);
        break;
    }
    case DT_STR:
        writeBytes(out, TAG_STRING, std::get<std::string>(m_v));
        break;
    case DT_HASH:
        out.appendByte(TAG_HASH_START);
        for (const auto& [key, value] : *std::get<Box<Hash>>(m_v).p) {
            writeBytes(out, TAG_HASH_KEY, key);
            value.serializeAt(out, depth + 1);
        }
        out.appendByte(TAG_HASH_END);
        break;
    case DT_VECTOR:
        out.appendByte(TAG_VECTOR_START);
        for (const VObject& value : *std::get<Box<Vector>>(m_v).p)
            value.serializeAt(out, depth + 1);
        out.appendByte(TAG_VECTOR_END);
        break;
    case DT_UDT:
        fail("VObject::serialize: serialization of DT_UDT not yet supported");
    case DT_REF:
        fail("VObject::serialize: serialization of DT_REF not yet supported");
    default:
        fail("VObject::serialize: unrecognized data type");
    }
}

VObject VObject::deserialize(PacketBuf& in, bool restoreSymbols) {
    const std::size_t start = in.readPos();
    try {
        return deserializeAt(in, restoreSymbols, 0);
    } catch (...) {
        in.setReadPos(start);
        throw;
    }
}

VObject VObject::deserializeAt(PacketBuf& in, bool restoreSymbols, int depth) {
    if (depth >= kMaxDepth)
        fail("VObject::deserialize: maxdepth exceeded");
    std::uint8_t tag = 0;
    if (!in.readByte(tag))
        fail("VObject::deserialize: buffer underrun");
    if (tag & kIntMark)
        return VObject(deserialize_int(in, tag));
    switch (tag) {
    case TAG_NIL:
        return VObject();
    case TAG_FALSE:
        return VObject(false);
    case TAG_TRUE:
        return VObject(true);
    case TAG_FLOAT:
        return VObject(deserialize_float(in));
    case TAG_DOUBLE:
        return VObject(deserialize_double(in));
    case TAG_HASH_KEY:
    case TAG_STRING:
        return VObject(deserialize_str(in));
    case TAG_SYMBOL: {
        std::string name = deserialize_str(in);
        return restoreSymbols ? makeSymbol(name) : VObject(std::move(name));
    }
    case TAG_HASH_START:
        return deserialize_hash(in, restoreSymbols, depth);
    case TAG_VECTOR_START:
        return deserialize_array(in, restoreSymbols, depth);
    default:
        fail("VObject::deserialize: unrecognized protocol transport type");
    }
}

VObject VObject::deserialize_hash(PacketBuf& in, bool restoreSymbols, int depth) {
    VObject result = makeHash();
    Hash& hash = result.gethash();
    for (;;) {
        std::uint8_t tag = 0;
        if (!in.readByte(tag))
            fail("VObject::deserialize_hash: buffer underrun");
        if (tag == TAG_HASH_END)
            return result;
        if (tag != TAG_HASH_KEY && tag != TAG_SYMBOL && tag != TAG_STRING)
            fail("VObject::deserialize_hash: only hash keys of type string are supported");
        std::string key = deserialize_str(in);
        hash[std::move(key)] = deserializeAt(in, restoreSymbols, depth + 1);
    }
}

VObject VObject::deserialize_array(PacketBuf& in, bool restoreSymbols, int depth) {
    VObject result = makeVector();
    Vector& vec = result.getvec();
    for (;;) {
        std::uint8_t tag = 0;
        if (!in.peekByte(tag))
            fail("VObject::deserialize_array: buffer underrun");
        if (tag == TAG_VECTOR_END) {
            in.skip(1);
            return result;
        }
        vec.push_back(deserializeAt(in, restoreSymbols, depth + 1));
    }
}

// The length is checked against the bytes present before anything is allocated, so a forged length
// costs nothing.
std::string VObject::deserialize_str(PacketBuf& in) {
    std::uint64_t length = 0;
    for (int i = 0;; ++i) {
        std::uint8_t byte = 0;
        if (i == kMaxLengthBytes || !in.readByte(byte))
            fail("VObject::deserialize_str: buffer underrun decoding data length");
        const std::uint64_t group = byte & 0x7F;
        const int shift = 7 * i;
        if (shift > 57 && (group >> (64 - shift)) != 0) // bits beyond 64: the length cannot fit
            fail("VObject::deserialize_str: buffer underrun decoding data length");
        length |= group << shift;
        if (!(byte & 0x80))
            break;
    }
    if (length > in.remaining())
        fail("VObject::deserialize_str: buffer underrun extracting data bytes");
    std::string bytes(reinterpret_cast<const char*>(in.readPtr()), static_cast<std::size_t>(length));
    in.skip(static_cast<std::size_t>(length));
    return bytes;
}

// A magnitude that does not fit the signed 64-bit range is refused like a truncated one: the reader
// cannot produce the value either way.
std::int64_t VObject::deserialize_int(PacketBuf& in, std::uint8_t first) {
    const bool negative = first & kIntNegative;
    std::uint64_t magnitude = first & 0x1F;
    bool more = first & kIntMore;
    for (int shift = 5; more; shift = shift < 64 ? shift + 7 : shift) {
        std::uint8_t byte = 0;
        if (!in.readByte(byte))
            fail("VObject::deserialize: buffer underrun decoding integer");
        const std::uint64_t group = byte & 0x7F;
        more = byte & 0x80;
        if (group == 0)
            continue;
        if (shift >= 64 || (shift > 57 && (group >> (64 - shift)) != 0))
            fail("VObject::deserialize: buffer underrun decoding integer");
        magnitude |= group << shift;
    }
    if (magnitude > (negative ? kInt64MinMagnitude : kInt64MinMagnitude - 1))
        fail("VObject::deserialize: buffer underrun decoding integer");
    if (!negative)
        return static_cast<std::int64_t>(magnitude);
    return magnitude == kInt64MinMagnitude ? INT64_MIN : -static_cast<std::int64_t>(magnitude);
}

double VObject::deserialize_float(PacketBuf& in) {
    if (in.remaining() < 4)
        fail("VObject::deserialize_float: buffer underrun");
    return std::bit_cast<float>(static_cast<std::uint32_t>(readBigEndian(in, 4)));
}

double VObject::deserialize_double(PacketBuf& in) {
    if (in.remaining() < 8)
        fail("VObject::deserialize_double: buffer underrun");
    return std::bit_cast<double>(readBigEndian(in, 8));
}

// --- log form ---

std::string VObject::toString() const {
    std::string out;
    toStringAt(out, 0);
    return out;
}

// Stops at kMaxDepth, so a reference into its own container cannot recurse for ever.
void VObject::toStringAt(std::string& out, int depth) const {
    if (depth >= kMaxDepth) {
        out += "...";
        return;
    }
    const VObject& v = deref();
    switch (v.type()) {
    case DT_NIL:
        out += "nil";
        break;
    case DT_INTEGER:
        out += std::to_string(std::get<std::int64_t>(v.m_v));
        break;
    case DT_DOUBLE: {
        char text[64];
        const auto result = std::to_chars(text, text + sizeof text, std::get<double>(v.m_v));
        const std::string_view shown(text, static_cast<std::size_t>(result.ptr - text));
        out += shown;
        if (shown.find_first_of(".eEni") == std::string_view::npos) // keep "2.0" apart from the integer 2
            out += ".0";
        break;
    }
    case DT_BOOL:
        out += std::get<bool>(v.m_v) ? "true" : "false";
        break;
    case DT_SYMBOL: {
        const Symbol symbol = std::get<Symbol>(v.m_v);
        out += ':';
        out += symbol ? *symbol : std::string("<null>");
        break;
    }
    case DT_STR:
        appendQuoted(out, std::get<std::string>(v.m_v));
        break;
    case DT_HASH: {
        out += '{';
        bool first = true;
        for (const auto& [key, value] : v.gethash()) {
            out += first ? "" : ", ";
            first = false;
            appendQuoted(out, key);
            out += ": ";
            value.toStringAt(out, depth + 1);
        }
        out += '}';
        break;
    }
    case DT_VECTOR: {
        out += '[';
        bool first = true;
        for (const VObject& value : v.getvec()) {
            out += first ? "" : ", ";
            first = false;
            value.toStringAt(out, depth + 1);
        }
        out += ']';
        break;
    }
    case DT_UDT: {
        const auto& object = std::get<std::shared_ptr<VUserObject>>(v.m_v);
        out += "#<";
        out += object ? object->describe() : std::string("null");
        out += '>';
        break;
    }
    default:
        out += "?";
        break;
    }
}

} // namespace CILA
