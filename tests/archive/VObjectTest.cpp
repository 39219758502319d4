#include "archive/VObject.h"
#include "archive/CilaException.h"
#include "archive/PacketBuf.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <utility>

using CILA::CilaRuntimeError;
using CILA::PacketBuf;
using CILA::VObject;

namespace {

std::string hex(const PacketBuf& buf) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < buf.size(); ++i) {
        out += digits[buf.data()[i] >> 4];
        out += digits[buf.data()[i] & 15];
    }
    return out;
}

PacketBuf unhex(const std::string& text) {
    PacketBuf buf;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2)
        buf.appendByte(static_cast<std::uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return buf;
}

std::string encode(const VObject& v) {
    PacketBuf buf;
    v.serialize(buf);
    return hex(buf);
}

VObject decode(const std::string& hexText, bool restoreSymbols = false) {
    PacketBuf buf = unhex(hexText);
    VObject v = VObject::deserialize(buf, restoreSymbols);
    EXPECT_EQ(buf.remaining(), 0u) << hexText;
    return v;
}

// The text of the CilaRuntimeError that `f` throws.
template <typename F>
std::string errorOf(F f) {
    try {
        f();
    } catch (const CilaRuntimeError& e) {
        return e.what();
    }
    return "<nothing thrown>";
}

std::string decodeError(const std::string& hexText) {
    return errorOf([&] { decode(hexText); });
}

VObject nestedVectors(int levels) {
    VObject v = VObject::makeVector();
    for (int i = 1; i < levels; ++i) {
        VObject outer = VObject::makeVector();
        outer.append(std::move(v));
        v = std::move(outer);
    }
    return v;
}

std::string repeat(const std::string& piece, int n) {
    std::string out;
    for (int i = 0; i < n; ++i)
        out += piece;
    return out;
}

} // namespace

TEST(VObjectTest, EncodesTheTransportFormByteForByte) {
    EXPECT_EQ(encode(0), "80");
    EXPECT_EQ(encode(-1), "C1");
    EXPECT_EQ(encode(31), "9F");
    EXPECT_EQ(encode(32), "A001");
    EXPECT_EQ(encode(-32), "E001");
    EXPECT_EQ(encode(std::numeric_limits<std::int64_t>::min()), "E0808080808080808004");
    EXPECT_EQ(encode(std::numeric_limits<std::int64_t>::max()), "BFFFFFFFFFFFFFFFFF03");
    EXPECT_EQ(encode(VObject()), "00");
    EXPECT_EQ(encode(false), "01");
    EXPECT_EQ(encode(true), "02");
    EXPECT_EQ(encode(1.5), "043FF8000000000000");
    EXPECT_EQ(encode("abc"), "0703616263");
    EXPECT_EQ(encode(VObject::makeSymbol("ab")), "06026162");
    EXPECT_EQ(encode(std::string(200, 'x')).substr(0, 6), "07C801");
    EXPECT_EQ(encode(VObject::makeVector()), "0A0B");
    EXPECT_EQ(encode(VObject::makeHash()), "0809");

    VObject list = VObject::makeVector();
    list.append(1);
    list.append(-1);
    VObject hash = VObject::makeHash();
    hash.store("b", list);
    hash.store("a", true);
    EXPECT_EQ(encode(hash), "0805016102050162"
                            "0A81C10B09");
    EXPECT_EQ(hash.toString(), "{\"a\": true, \"b\": [1, -1]}");
}

TEST(VObjectTest, RoundTripsEveryKindOfValue) {
    const std::int64_t ints[] = {0,
                                 1,
                                 -1,
                                 31,
                                 -31,
                                 32,
                                 -32,
                                 4095,
                                 -4096,
                                 1LL << 40,
                                 -(1LL << 40),
                                 std::numeric_limits<std::int64_t>::max(),
                                 std::numeric_limits<std::int64_t>::min()};
    for (const std::int64_t i : ints) {
        EXPECT_EQ(decode(encode(i)).getint(), i) << i;
        EXPECT_EQ(decode(encode(i)).type(), VObject::DT_INTEGER);
    }

    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_TRUE(std::isnan(decode(encode(nan)).getdouble()));
    EXPECT_TRUE(std::signbit(decode(encode(-0.0)).getdouble()));
    EXPECT_EQ(decode(encode(-HUGE_VAL)).getdouble(), -HUGE_VAL);
    EXPECT_EQ(decode(encode(5e-324)).getdouble(), 5e-324);
    EXPECT_EQ(decode("033FC00000").getdouble(), 1.5); // a single float reads as a double
    EXPECT_EQ(decode("033FC00000").type(), VObject::DT_DOUBLE);

    VObject nested = VObject::makeHash();
    VObject inner = VObject::makeVector();
    inner.append(VObject());
    inner.append(std::string("nul\0byte", 8));
    inner.append(VObject::makeHash());
    inner.append(2.25);
    nested.store("list", inner);
    nested.store("", false);
    nested.store("\xff key", -7);
    EXPECT_EQ(decode(encode(nested)), nested);

    // Symbols come back as strings unless the reader restores them; keys and tag 5 are strings too.
    const VObject sym = VObject::makeSymbol("name");
    EXPECT_EQ(decode(encode(sym)), VObject("name"));
    EXPECT_EQ(decode(encode(sym), true), sym);
    EXPECT_EQ(decode(encode(sym), true).getsym(), VObject::intern("name"));
    EXPECT_EQ(decode("050161").toString(), "\"a\""); // tag 5 as a value
    EXPECT_EQ(decode("0806016180070162020501630109").toString(), "{\"a\": 0, \"b\": true, \"c\": false}");
}

TEST(VObjectTest, ReportsEveryUnderrunAndLeavesTheReadPosition) {
    EXPECT_EQ(decodeError(""), "VObject::deserialize: buffer underrun");
    EXPECT_EQ(decodeError("A0"), "VObject::deserialize: buffer underrun decoding integer");
    EXPECT_EQ(decodeError("0A80"), "VObject::deserialize_array: buffer underrun");
    EXPECT_EQ(decodeError("08"), "VObject::deserialize_hash: buffer underrun");
    EXPECT_EQ(decodeError("080501610A"), "VObject::deserialize_array: buffer underrun");
    EXPECT_EQ(decodeError("08050161"), "VObject::deserialize: buffer underrun");
    EXPECT_EQ(decodeError("0780"), "VObject::deserialize_str: buffer underrun decoding data length");
    EXPECT_EQ(decodeError("07036162"), "VObject::deserialize_str: buffer underrun extracting data bytes");
    EXPECT_EQ(decodeError("033FC000"), "VObject::deserialize_float: buffer underrun");
    EXPECT_EQ(decodeError("043FF80000000000"), "VObject::deserialize_double: buffer underrun");

    // Lengths that do not fit, or run past the end, are refused before anything is allocated.
    EXPECT_EQ(decodeError("07FFFFFFFFFFFFFFFFFF7F"),
              "VObject::deserialize_str: buffer underrun decoding data length");
    EXPECT_EQ(decodeError("07FFFFFFFFFFFFFFFF7F"),
              "VObject::deserialize_str: buffer underrun extracting data bytes");
    EXPECT_EQ(decodeError("07808080808080808080800100"),
              "VObject::deserialize_str: buffer underrun decoding data length");
    // So are integers beyond the 64-bit range: +2^63, -(2^63 + 1), and bits past the 64th.
    EXPECT_EQ(decodeError("A0808080808080808004"), "VObject::deserialize: buffer underrun decoding integer");
    EXPECT_EQ(decodeError("E1808080808080808004"), "VObject::deserialize: buffer underrun decoding integer");
    EXPECT_EQ(decodeError("A080808080808080808001"),
              "VObject::deserialize: buffer underrun decoding integer");
    EXPECT_EQ(decode("A08080808080808080808000").getint(), 0); // zero groups past the 64th bit are harmless

    VObject value = VObject::makeHash();
    VObject list = VObject::makeVector();
    for (const VObject& v : {VObject(-1000000), VObject(0.5), VObject("text"), VObject::makeSymbol("s"),
                             VObject(true), VObject(), VObject::makeHash()})
        list.append(v);
    value.store("k", list);
    PacketBuf good;
    value.serialize(good);
    for (std::size_t cut = 0; cut < good.size(); ++cut) {
        PacketBuf truncated;
        truncated.append(good.data(), cut);
        EXPECT_NE(errorOf([&] { VObject::deserialize(truncated); }).find("buffer underrun"),
                  std::string::npos)
            << cut;
        EXPECT_EQ(truncated.readPos(), 0u);
    }
}

TEST(VObjectTest, LimitsNestingTo64BothWays) {
    EXPECT_EQ(decode(encode(nestedVectors(64))), nestedVectors(64));
    EXPECT_EQ(errorOf([] { encode(nestedVectors(65)); }), "VObject::serialize: maxdepth exceeded");
    VObject scalarAt65 = nestedVectors(64);
    VObject* innermost = &scalarAt65;
    while (innermost->size() > 0)
        innermost = &innermost->at(0);
    innermost->append(1);
    EXPECT_EQ(errorOf([&] { encode(scalarAt65); }), "VObject::serialize: maxdepth exceeded");

    EXPECT_NO_THROW(decode(repeat("0A", 64) + repeat("0B", 64)));
    EXPECT_EQ(decodeError(repeat("0A", 65) + repeat("0B", 65)), "VObject::deserialize: maxdepth exceeded");
    EXPECT_EQ(decodeError(repeat("08050161", 64) + "80" + repeat("09", 64)),
              "VObject::deserialize: maxdepth exceeded");
}

TEST(VObjectTest, RefusesUnknownTagsKeysAndUnwritableValues) {
    for (const char* tag : {"09", "0B", "0C", "7F"})
        EXPECT_EQ(decodeError(tag), "VObject::deserialize: unrecognized protocol transport type") << tag;
    EXPECT_EQ(decodeError("08808009"),
              "VObject::deserialize_hash: only hash keys of type string are supported");
    EXPECT_EQ(decodeError("08000009"),
              "VObject::deserialize_hash: only hash keys of type string are supported");
    EXPECT_EQ(decodeError("0805016109"), "VObject::deserialize: unrecognized protocol transport type");

    struct Thing : CILA::VUserObject {};
    EXPECT_EQ(errorOf([] { encode(VObject::makeUDT(std::make_shared<Thing>())); }),
              "VObject::serialize: serialization of DT_UDT not yet supported");
    EXPECT_EQ(errorOf([] { encode(VObject::makeRef(std::make_shared<VObject>(1))); }),
              "VObject::serialize: serialization of DT_REF not yet supported");
}

TEST(VObjectTest, AccessorsThrowTheirTexts) {
    VObject i = 5, hash = VObject::makeHash(), vec = VObject::makeVector(), str = "s";
    EXPECT_EQ(errorOf([&] { i.getstr(); }), "VObject::getstr: data type not DT_STR");
    EXPECT_EQ(errorOf([&] { hash.getvec(); }), "VObject::getvec: data type not DT_VECTOR");
    EXPECT_EQ(errorOf([&] { vec.gethash(); }), "VObject::gethash: data type not DT_HASH");
    EXPECT_EQ(errorOf([&] { i.getref(); }), "VObject::getref called on non-reference");
    EXPECT_EQ(errorOf([&] { i.unref(); }), "VObject::unref called on non-reference");
    EXPECT_EQ(errorOf([&] { vec.fetch("k"); }), "non-const VObject::fetch called on non-hash object");
    EXPECT_EQ(std::as_const(vec).fetch("k"), nullptr);
    EXPECT_EQ(errorOf([&] { hash.at(0); }), "non-const VObject::at called on non-vector object");
    EXPECT_EQ(errorOf([&] { vec.at(0); }), "non-const VObject::at: index out of range");
    EXPECT_TRUE(std::as_const(vec).at(7).isNil());
    EXPECT_EQ(errorOf([&] { hash.append(1); }), "VObject::append called on non-vector object");
    EXPECT_EQ(errorOf([&] { vec.store("k", 1); }), "VObject::store called on non-hash object");
    EXPECT_EQ(errorOf([&] { i.intern(); }), "VObject::intern: data type not DT_SYMBOL or DT_STR");
    EXPECT_EQ(errorOf([&] { str.getsym(); }), "VObject::intern: data type not DT_SYMBOL");
    const std::string stranger = "not interned";
    EXPECT_EQ(errorOf([&] { VObject::sym_lookup(&stranger); }),
              "VObject::sym_lookup: supplied symbol value not found in map");
    EXPECT_EQ(errorOf([&] { hash.merge(vec); }),
              "VObject::merge: Won't merge disparate container and/or user-defined types.");
    EXPECT_EQ(errorOf([&] { i.merge(hash); }),
              "VObject::merge: Won't merge disparate container and/or user-defined types.");
    EXPECT_EQ(errorOf([&] { i = std::shared_ptr<VObject>(); }),
              "VObject::operator=: won't assign null reference");

    auto target = std::make_shared<VObject>(1);
    EXPECT_EQ(errorOf([&] { *target = target; }), "VObject::operator=: won't assign reference to self");
    auto other = std::make_shared<VObject>(VObject::makeRef(target));
    EXPECT_EQ(errorOf([&] { *target = other; }), "VObject::operator=: won't assign reference to self");
    EXPECT_EQ(errorOf([&] { *target = *other; }), "VObject::operator=: won't assign reference to self");
    EXPECT_EQ(target->getint(), 1);
}

TEST(VObjectTest, CopiesAreDeepReferencesAndSymbolsAreShared) {
    VObject original = VObject::makeHash();
    original.store("list", VObject::makeVector());
    VObject copy = original;
    copy.fetch("list")->append(1);
    EXPECT_EQ(original.fetch("list")->size(), 0u);
    EXPECT_EQ(copy.toString(), "{\"list\": [1]}");
    VObject element = VObject::makeVector();
    element.append("inner");
    element = element.at(0); // from inside itself
    EXPECT_EQ(element.getstr(), "inner");

    VObject vec = VObject::makeVector();
    vec.append(VObject::makeVector());
    vec.at(0).append(7);
    vec = std::move(vec.at(0)); // move from inside itself
    EXPECT_EQ(vec.toString(), "[7]");

    auto target = std::make_shared<VObject>(VObject::makeVector());
    VObject ref = VObject::makeRef(target), refCopy = ref;
    ref.append("x");
    EXPECT_EQ(ref.type(), VObject::DT_REF);
    EXPECT_EQ(ref.dataType(), VObject::DT_VECTOR);
    EXPECT_EQ(refCopy.toString(), "[\"x\"]");
    EXPECT_EQ(ref, *target);
    ref.unref();
    ref.append("y");
    EXPECT_EQ(ref.type(), VObject::DT_VECTOR);
    EXPECT_EQ(target->size(), 1u);

    EXPECT_EQ(VObject::intern("alpha"), VObject::makeSymbol("alpha").getsym());
    EXPECT_EQ(VObject::sym_lookup(VObject::intern("alpha")), "alpha");
    EXPECT_EQ(VObject("alpha").intern(), VObject::intern("alpha"));
    EXPECT_NE(VObject::makeSymbol("alpha"), VObject("alpha"));
    EXPECT_EQ(VObject::makeSymbol("alpha").toString(), ":alpha");

    VObject a = VObject::makeHash(), b = VObject::makeHash();
    a.store("x", 1);
    b.store("x", 2);
    b.store("y", 3);
    a.merge(b);
    EXPECT_EQ(a.toString(), "{\"x\": 2, \"y\": 3}");
    VObject scalar = 1;
    scalar.merge("now a string");
    EXPECT_EQ(scalar.getstr(), "now a string");

    EXPECT_EQ(VObject(2.0).toString(), "2.0");
    EXPECT_EQ(VObject(2.9).getint(), 2);
    EXPECT_EQ(VObject(1e300).getint(), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(VObject(true).getint(), 1);
    EXPECT_FALSE(VObject().getbool());
    EXPECT_TRUE(VObject("").getbool());
    EXPECT_EQ(VObject(std::numeric_limits<double>::quiet_NaN()),
              VObject(std::numeric_limits<double>::quiet_NaN()));
    EXPECT_NE(VObject(1), VObject(1.0));
}
