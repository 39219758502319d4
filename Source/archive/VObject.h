#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace CILA {

class PacketBuf;
class VObject;

// The base of in-process objects carried by a DT_UDT value. Such values are shared, never written to
// the transport.
class VUserObject {
public:
    virtual ~VUserObject() = default;
    // What toString() shows for the object.
    virtual std::string describe() const { return "udt"; }
};

// A dynamically typed value: the message currency of the bridge and the value type of the key-value
// store. Copies are deep: copying a hash or vector copies its elements, so two values never share a
// container. DT_UDT and DT_REF are the exceptions by design: a copy shares the user object, and a copy
// of a reference refers to the same value.
//
// Readers (the get/fetch/at/size/append/store family, isNil, ==, toString) follow references
// transparently; type() tells a reference apart. Accessors that cannot answer throw CilaRuntimeError.
// A value is not thread-safe; the symbol table is.
class VObject {
public:
    // The codes are those of the transport's data model; keep their order.
    enum DataType {
        DT_NIL = 0,
        DT_INTEGER,
        DT_DOUBLE,
        DT_BOOL,
        DT_SYMBOL,
        DT_STR,
        DT_HASH,
        DT_VECTOR,
        DT_UDT,
        DT_REF
    };
    using Hash = std::map<std::string, VObject>; // iterated in byte order of the keys
    using Vector = std::vector<VObject>;
    // An interned name: the same pointer for the same name for the life of the process.
    using Symbol = const std::string*;

    // Nesting limit of serialize() and deserialize(): a value counts one level, each container around
    // it one more.
    static constexpr int kMaxDepth = 64;

    VObject() = default;
    VObject(std::nullptr_t) {}
    VObject(bool value) : m_v(value) {}
    VObject(int value) : m_v(std::int64_t{value}) {}
    VObject(long value) : m_v(std::int64_t{value}) {}
    VObject(long long value) : m_v(static_cast<std::int64_t>(value)) {}
    VObject(unsigned value) : m_v(std::int64_t{value}) {}
    // Sizes and counts; a value above INT64_MAX wraps to a negative integer.
    VObject(unsigned long value) : m_v(static_cast<std::int64_t>(value)) {}
    VObject(unsigned long long value) : m_v(static_cast<std::int64_t>(value)) {}
    VObject(double value) : m_v(value) {}
    VObject(const char* text);
    VObject(std::string text) : m_v(std::move(text)) {}
    VObject(std::string_view text) : m_v(std::string(text)) {}

    VObject(const VObject& other);
    VObject(VObject&& other) noexcept;
    // Assigning a reference that leads back to this value throws "VObject::operator=: won't assign
    // reference to self" (a reference may never end in a loop).
    VObject& operator=(const VObject& other);
    VObject& operator=(VObject&& other);
    VObject& operator=(std::nullptr_t);
    // Makes this value a reference to `target`. Throws on a null target ("won't assign null
    // reference") and on a target that is or refers to this value ("won't assign reference to self").
    VObject& operator=(std::shared_ptr<VObject> target);
    ~VObject();

    static VObject makeHash();
    static VObject makeVector();
    static VObject makeSymbol(std::string_view name);
    static VObject makeUDT(std::shared_ptr<VUserObject> object);
    static VObject makeRef(std::shared_ptr<VObject> target);

    // The type of this value itself (DT_REF for a reference); dataType() follows references.
    DataType type() const { return static_cast<DataType>(m_v.index()); }
    DataType dataType() const { return deref().type(); }
    bool isNil() const { return dataType() == DT_NIL; }

    // Lenient numeric readers: integers, doubles and booleans convert (a double to an integer truncates,
    // saturating; NaN gives 0); any other type gives 0.
    std::int64_t getint() const;
    double getdouble() const;
    // The truth value: nil, false and numeric zero are false; everything else is true.
    bool getbool() const;

    const std::string& getstr() const; // "VObject::getstr: data type not DT_STR"
    const Vector& getvec() const;      // "VObject::getvec: data type not DT_VECTOR"
    Vector& getvec();
    const Hash& gethash() const; // "VObject::gethash: data type not DT_HASH"
    Hash& gethash();
    // The symbol of a DT_SYMBOL value; "VObject::intern: data type not DT_SYMBOL" otherwise.
    Symbol getsym() const;
    // The object of a DT_UDT value; null otherwise.
    std::shared_ptr<VUserObject> getudt() const;

    // The value a DT_REF refers to ("VObject::getref called on non-reference").
    VObject& getref() const;
    std::shared_ptr<VObject> getrefptr() const;
    // Turns this reference into a copy of the value it refers to ("VObject::unref called on
    // non-reference").
    void unref();

    // Elements of a hash or vector; 0 for any other type.
    std::size_t size() const;
    void append(VObject v);                        // "VObject::append called on non-vector object"
    void store(const std::string& key, VObject v); // "VObject::store called on non-hash object"
    // Null when the key is absent or this is not a hash.
    const VObject* fetch(const std::string& key) const;
    // Null when the key is absent; throws "non-const VObject::fetch called on non-hash object".
    VObject* fetch(const std::string& key);
    // A nil value when out of range or not a vector.
    const VObject& at(std::size_t index) const;
    // Throws "non-const VObject::at called on non-vector object" / "non-const VObject::at: index out of
    // range".
    VObject& at(std::size_t index);
    // Hash into hash (entries of `other` replace equal keys), vector onto vector (appended), scalar over
    // scalar (replaced); containers or user objects of different types throw "VObject::merge: Won't merge
    // disparate container and/or user-defined types.".
    void merge(const VObject& other);

    // The symbol of a DT_SYMBOL, or the interned text of a DT_STR; "VObject::intern: data type not
    // DT_SYMBOL or DT_STR" otherwise.
    Symbol intern() const;
    // The process-wide symbol table. Symbols are never removed.
    static Symbol intern(std::string_view name);
    // The name of a symbol; throws "VObject::sym_lookup: supplied symbol value not found in map" for a
    // pointer the table did not hand out.
    static const std::string& sym_lookup(Symbol symbol);

    // Same type and value, after following references. Doubles compare by value, NaN equal to NaN;
    // user objects by identity; symbols by name.
    bool operator==(const VObject& other) const;
    bool operator!=(const VObject& other) const { return !(*this == other); }

    // Appends the transport form to `out`. Throws CilaRuntimeError (DT_UDT, DT_REF, nesting past
    // kMaxDepth); `out` may then hold part of the value.
    void serialize(PacketBuf& out) const;
    // Reads one value at the read position of `in` and advances past it. Tag-6 names become symbols only
    // when `restoreSymbols` is set; otherwise strings. Throws CilaRuntimeError on malformed or truncated
    // input, leaving the read position where it was.
    static VObject deserialize(PacketBuf& in, bool restoreSymbols = false);

    // A readable form for logs: [1, "a", {"k": nil}, :sym, 2.5, true].
    std::string toString() const;

private:
    // Owns a container and copies it deeply.
    template <typename T>
    struct Box {
        std::unique_ptr<T> p;
        Box() : p(std::make_unique<T>()) {}
        Box(const Box& o) : p(std::make_unique<T>(*o.p)) {}
        Box(Box&&) noexcept = default;
        Box& operator=(const Box& o) {
            p = std::make_unique<T>(*o.p);
            return *this;
        }
        Box& operator=(Box&&) noexcept = default;
    };
    struct Ref {
        std::shared_ptr<VObject> target; // never null
    };

    // Follows references to the value they end in.
    const VObject& deref() const;
    VObject& deref();
    // True when this value is `target` or refers to it.
    bool leadsTo(const VObject* target) const;
    void checkAssignable(const VObject& source) const;

    void serializeAt(PacketBuf& out, int depth) const;
    static VObject deserializeAt(PacketBuf& in, bool restoreSymbols, int depth);
    static VObject deserialize_hash(PacketBuf& in, bool restoreSymbols, int depth);
    static VObject deserialize_array(PacketBuf& in, bool restoreSymbols, int depth);
    static std::string deserialize_str(PacketBuf& in);
    static double deserialize_float(PacketBuf& in);
    static double deserialize_double(PacketBuf& in);
    static std::int64_t deserialize_int(PacketBuf& in, std::uint8_t first);
    bool equalsAt(const VObject& other, int depth) const;
    void toStringAt(std::string& out, int depth) const;

    // The alternative's index is the DataType code.
    std::variant<std::monostate, std::int64_t, double, bool, Symbol, std::string, Box<Hash>, Box<Vector>,
                 std::shared_ptr<VUserObject>, Ref>
        m_v;
};

} // namespace CILA
