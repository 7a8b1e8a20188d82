// Philox, a counter-based random number generator (Philox4x64 with 10
// rounds): a subclass of random.Random whose core methods are native, so that
// every distribution of random.Random draws from it unchanged, and whose
// stream is chosen in constant time by set_stream().
//
// Each output block is the Philox bijection of a 256-bit counter under a
// 128-bit key and gives four 64-bit outputs. The counter's low two words
// count the blocks of a stream; its high two words are the stream. Streams of
// one key therefore use disjoint counters, and never share a block.
//
// The generator follows the usual convention of counter-based generators:
// the counter holds the block last generated, and the next block is taken
// after incrementing it, the carry running through all four words. A fresh
// stream s thus starts with the block of counter (1, 0, s mod 2**64,
// s >> 64).
//
// The instance extends random.Random's layout; the state of the Mersenne
// Twister that _random.Random keeps there is never seeded nor read.
#include "module.hpp"
#include "philox.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace tavlen {
namespace {

constexpr int block_words = 4;
constexpr int rounds = 10;
constexpr uint64_t multiplier0 = 0xD2E7470EE14C6C93, multiplier1 = 0xCA5A826395121157;
constexpr uint64_t weyl0 = 0x9E3779B97F4A7C15, weyl1 = 0xBB67AE8584CAA73B;

// The marker of a state from getstate(): random.Random's own states carry
// an int version, so neither class mistakes the other's state for its own.
constexpr char state_version[] = "Philox4x64-10";
constexpr Py_ssize_t state_words = 2 + 4 + block_words + 1;

struct PhiloxState {
    uint64_t key[2];
    uint64_t counter[4];  // the block last generated
    uint64_t buffer[block_words];
    int buffer_position;  // next unread output of buffer; block_words: none left
    // random.Random.gauss keeps the second deviate of a pair in gauss_next,
    // which is this pair of fields.
    bool has_gauss_next;
    double gauss_next;
};

// The high and low words of a * b.
inline uint64_t multiply_wide(uint64_t a, uint64_t b, uint64_t& high) {
#ifdef __SIZEOF_INT128__
    __extension__ typedef unsigned __int128 uint128;
    const uint128 product = static_cast<uint128>(a) * b;
    high = static_cast<uint64_t>(product >> 64);
    return static_cast<uint64_t>(product);
#else
    const uint64_t a_low = a & 0xFFFFFFFF, a_high = a >> 32, b_low = b & 0xFFFFFFFF, b_high = b >> 32;
    const uint64_t low_low = a_low * b_low, high_low = a_high * b_low;
    const uint64_t middle = (low_low >> 32) + (high_low & 0xFFFFFFFF) + a_low * b_high;
    high = a_high * b_high + (high_low >> 32) + (middle >> 32);
    return (middle << 32) | (low_low & 0xFFFFFFFF);
#endif
}

void next_block(PhiloxState& state) {
    uint64_t* counter = state.counter;
    if (++counter[0] == 0 && ++counter[1] == 0 && ++counter[2] == 0) ++counter[3];
    uint64_t c0 = counter[0], c1 = counter[1], c2 = counter[2], c3 = counter[3];
    uint64_t k0 = state.key[0], k1 = state.key[1];
    for (int round = 0; round < rounds; ++round) {
        if (round > 0) {
            k0 += weyl0;
            k1 += weyl1;
        }
        uint64_t high0, high1;
        const uint64_t low0 = multiply_wide(multiplier0, c0, high0);
        const uint64_t low1 = multiply_wide(multiplier1, c2, high1);
        c0 = high1 ^ c1 ^ k0;
        c1 = low1;
        c2 = high0 ^ c3 ^ k1;
        c3 = low0;
    }
    state.buffer[0] = c0;
    state.buffer[1] = c1;
    state.buffer[2] = c2;
    state.buffer[3] = c3;
    state.buffer_position = 0;
}

inline uint64_t next_output(PhiloxState& state) {
    if (state.buffer_position == block_words) next_block(state);
    return state.buffer[state.buffer_position++];
}

// The start of stream (low, high) of the current key, with nothing buffered.
void start_stream(PhiloxState& state, uint64_t low, uint64_t high) {
    state.counter[0] = state.counter[1] = 0;
    state.counter[2] = low;
    state.counter[3] = high;
    std::memset(state.buffer, 0, sizeof state.buffer);
    state.buffer_position = block_words;
    state.has_gauss_next = false;
    state.gauss_next = 0.0;
}

// The native part of an instance; the binder has checked its type.
PhiloxState& state_of(PyObject* self, PyObject* module) {
    return *reinterpret_cast<PhiloxState*>(reinterpret_cast<char*>(self) + module_state(module).philox_state_offset);
}

// The same from the instance alone (slots, attributes), through the module
// that defines its type.
PhiloxState* find_state(PyObject* self) {
    PyObject* module = PyType_GetModuleByDef(Py_TYPE(self), &individual_module);
    return module ? &state_of(self, module) : nullptr;
}

// --- Conversions ------------------------------------------------------------

// Two 64-bit words, low first, from 16 bytes of a little-endian integer.
void words_of_bytes(const unsigned char (&bytes)[16], uint64_t (&words)[2]) {
    for (int word = 0; word < 2; ++word) {
        uint64_t bits = 0;
        for (int byte = 7; byte >= 0; --byte) bits = (bits << 8) | bytes[8 * word + byte];
        words[word] = bits;
    }
}

// An int (or an object with __index__) from 0 to 2**128 - 1, as two words,
// low first. what names the value in the ValueError.
bool uint128_value(PyObject* value, const char* what, uint64_t (&words)[2]) {
    if (PyLong_CheckExact(value) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(value))) {
        const Py_ssize_t small = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(value));
        if (small >= 0) {
            words[0] = static_cast<uint64_t>(small);
            words[1] = 0;
            return true;
        }
    }
    Ref integer = Ref::steal(PyNumber_Index(value));
    if (!integer) return false;
    unsigned char bytes[16];
    const Py_ssize_t needed = PyLong_AsNativeBytes(
        integer.get(), bytes, sizeof bytes,
        Py_ASNATIVEBYTES_LITTLE_ENDIAN | Py_ASNATIVEBYTES_UNSIGNED_BUFFER | Py_ASNATIVEBYTES_REJECT_NEGATIVE);
    if (needed < 0 && !PyErr_ExceptionMatches(PyExc_ValueError)) return false;
    if (needed < 0 || needed > static_cast<Py_ssize_t>(sizeof bytes)) {
        PyErr_Format(PyExc_ValueError, "%s must be an int from 0 to 2**128 - 1", what);
        return false;
    }
    words_of_bytes(bytes, words);
    return true;
}

// An int from 0 to 2**64 - 1 of a restored state.
bool uint64_value(PyObject* value, uint64_t& out) {
    if (!PyLong_Check(value)) {
        PyErr_Format(PyExc_TypeError, "Philox state words must be ints, not %.200s", Py_TYPE(value)->tp_name);
        return false;
    }
    const unsigned long long converted = PyLong_AsUnsignedLongLong(value);
    if (converted == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError) && !PyErr_ExceptionMatches(PyExc_ValueError)) return false;
        PyErr_SetString(PyExc_ValueError, "Philox state words must be from 0 to 2**64 - 1");
        return false;
    }
    out = converted;
    return true;
}

// --- Methods ------------------------------------------------------------------

constexpr Parameter seed_parameters[] = {{"a", "int | None", "None"}};
constexpr Parameter bits_parameters[] = {{"k", "int"}};
constexpr Parameter stream_parameters[] = {{"stream", "int"}};
constexpr Parameter state_parameters[] = {{"state", "tuple[Any, ...]"}};
constexpr Parameter expovariate_parameters[] = {{"lambd", "float", "1.0"}};

bool urandom_key(uint64_t (&key)[2]) {
    Ref os = Ref::steal(PyImport_ImportModule("os"));
    Ref entropy = os ? Ref::steal(PyObject_CallMethod(os.get(), "urandom", "i", 16)) : Ref();
    if (!entropy) return false;
    if (!PyBytes_Check(entropy.get()) || PyBytes_GET_SIZE(entropy.get()) != 16) {
        PyErr_SetString(PyExc_TypeError, "os.urandom(16) did not return 16 bytes");
        return false;
    }
    unsigned char bytes[16];
    std::memcpy(bytes, PyBytes_AS_STRING(entropy.get()), sizeof bytes);
    words_of_bytes(bytes, key);
    return true;
}

PyObject* seed(PyObject* self, BoundArguments& args) {
    PyObject* a = args[0] ? args[0] : Py_None;
    uint64_t key[2];
    if (a == Py_None) {
        if (!urandom_key(key)) return nullptr;
    } else if (!PyIndex_Check(a)) {
        return raise(PyExc_TypeError, "Philox seed must be None or an int, not %.200s", Py_TYPE(a)->tp_name);
    } else if (!uint128_value(a, "Philox seed", key)) {
        return nullptr;
    }
    PhiloxState& state = state_of(self, args.module);
    state.key[0] = key[0];
    state.key[1] = key[1];
    start_stream(state, 0, 0);
    Py_RETURN_NONE;
}

PyObject* set_stream(PyObject* self, BoundArguments& args) {
    uint64_t stream[2];
    if (!uint128_value(args[0], "stream", stream)) return nullptr;
    start_stream(state_of(self, args.module), stream[0], stream[1]);
    Py_RETURN_NONE;
}

PyObject* random_float(PyObject* self, BoundArguments& args) {
    const uint64_t bits = next_output(state_of(self, args.module));
    return PyFloat_FromDouble(static_cast<double>(bits >> 11) * 0x1.0p-53);
}

// random.Random.expovariate's own formula, -log(1.0 - random()) / lambd, on
// the native draw: the same double (math.log is the C library's log), without
// a Python frame. A subclass may draw random() its own way, so it gets
// random.Random's method itself; so does a lambd that is not a nonzero float,
// for Python's own division and its errors.
PyObject* expovariate(PyObject* self, BoundArguments& args) {
    const ModuleState& module = module_state(args.module);
    PyObject* lambd = args[0];
    if (Py_TYPE(self) != module.philox_type) {
        Ref method = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(module.philox_type->tp_base),
                                                 module.names.expovariate));
        if (!method) return nullptr;
        PyObject* call[] = {self, lambd};
        return PyObject_Vectorcall(method.get(), call, lambd ? 2 : 1, nullptr);
    }
    const uint64_t bits = next_output(state_of(self, args.module));
    const double draw = -std::log(1.0 - static_cast<double>(bits >> 11) * 0x1.0p-53);
    if (!lambd) return PyFloat_FromDouble(draw);  // draw / 1.0 is draw itself
    if (PyFloat_CheckExact(lambd) && PyFloat_AS_DOUBLE(lambd) != 0.0) {
        return PyFloat_FromDouble(draw / PyFloat_AS_DOUBLE(lambd));
    }
    Ref numerator = Ref::steal(PyFloat_FromDouble(draw));
    return numerator ? PyNumber_TrueDivide(numerator.get(), lambd) : nullptr;
}

PyObject* getrandbits(PyObject* self, BoundArguments& args) {
    const Py_ssize_t k = PyNumber_AsSsize_t(args[0], PyExc_OverflowError);
    if (k == -1 && PyErr_Occurred()) return nullptr;
    if (k < 0) return raise(PyExc_ValueError, "number of bits must be non-negative");
    if (k == 0) return PyLong_FromLong(0);
    PhiloxState& state = state_of(self, args.module);
    if (k <= 64) return PyLong_FromUnsignedLongLong(next_output(state) >> (64 - k));
    // Whole outputs, least significant first; the last keeps its top bits.
    const Py_ssize_t words = (k - 1) / 64 + 1;
    Ref bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, words * 8));
    if (!bytes) return nullptr;
    unsigned char* out = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(bytes.get()));
    for (Py_ssize_t word = 0; word < words; ++word) {
        uint64_t bits = next_output(state);
        if (word == words - 1) bits >>= 64 * words - k;
        for (int byte = 0; byte < 8; ++byte, bits >>= 8) *out++ = static_cast<unsigned char>(bits);
    }
    return PyLong_FromUnsignedNativeBytes(PyBytes_AS_STRING(bytes.get()), words * 8, Py_ASNATIVEBYTES_LITTLE_ENDIAN);
}

PyObject* getstate(PyObject* self, BoundArguments& args) {
    const PhiloxState& state = state_of(self, args.module);
    Ref words = Ref::steal(PyTuple_New(state_words));
    if (!words) return nullptr;
    const uint64_t values[state_words - 1] = {
        state.key[0],     state.key[1],     state.counter[0], state.counter[1], state.counter[2],
        state.counter[3], state.buffer[0],  state.buffer[1],  state.buffer[2],  state.buffer[3],
    };
    for (Py_ssize_t i = 0; i < state_words - 1; ++i) {
        PyObject* word = PyLong_FromUnsignedLongLong(values[i]);
        if (!word) return nullptr;
        PyTuple_SET_ITEM(words.get(), i, word);
    }
    PyObject* position = PyLong_FromLong(state.buffer_position);
    if (!position) return nullptr;
    PyTuple_SET_ITEM(words.get(), state_words - 1, position);
    Ref gauss_next = state.has_gauss_next ? Ref::steal(PyFloat_FromDouble(state.gauss_next)) : Ref::none();
    Ref version = Ref::steal(PyUnicode_FromString(state_version));
    if (!gauss_next || !version) return nullptr;
    return PyTuple_Pack(3, version.get(), words.get(), gauss_next.get());
}

// A sequence of exactly size items, as a list or tuple.
Ref sequence_of(PyObject* value, Py_ssize_t size, const char* what) {
    if (!PyTuple_Check(value) && !PyList_Check(value)) {
        return raise(PyExc_TypeError, "%s must be a tuple, not %.200s", what, Py_TYPE(value)->tp_name);
    }
    if (PySequence_Fast_GET_SIZE(value) != size) {
        return raise(PyExc_ValueError, "%s must have %zd items, not %zd", what, size,
                     PySequence_Fast_GET_SIZE(value));
    }
    return Ref::borrow(value);
}

// Everything is checked before anything is stored: a refused state leaves
// the generator as it was.
PyObject* setstate(PyObject* self, BoundArguments& args) {
    Ref state = sequence_of(args[0], 3, "Philox state");
    if (!state) return nullptr;
    PyObject* version = PySequence_Fast_GET_ITEM(state.get(), 0);
    if (!PyUnicode_Check(version) || PyUnicode_CompareWithASCIIString(version, state_version) != 0) {
        return raise(PyExc_ValueError, "state with version %R passed to Philox.setstate() of version '%s'",
                     version, state_version);
    }
    Ref words = sequence_of(PySequence_Fast_GET_ITEM(state.get(), 1), state_words, "Philox internal state");
    if (!words) return nullptr;
    uint64_t values[state_words];
    for (Py_ssize_t i = 0; i < state_words; ++i) {
        if (!uint64_value(PySequence_Fast_GET_ITEM(words.get(), i), values[i])) return nullptr;
    }
    if (values[state_words - 1] > static_cast<uint64_t>(block_words)) {
        return raise(PyExc_ValueError, "Philox buffer position must be from 0 to %d", block_words);
    }
    Ref gauss_next = Ref::borrow(PySequence_Fast_GET_ITEM(state.get(), 2));
    double spare = 0.0;
    if (gauss_next.get() != Py_None && !float_argument(gauss_next.get(), spare)) return nullptr;

    PhiloxState restored;
    std::memcpy(restored.key, values, sizeof restored.key);
    std::memcpy(restored.counter, values + 2, sizeof restored.counter);
    std::memcpy(restored.buffer, values + 6, sizeof restored.buffer);
    restored.buffer_position = static_cast<int>(values[state_words - 1]);
    restored.has_gauss_next = gauss_next.get() != Py_None;
    restored.gauss_next = spare;
    state_of(self, args.module) = restored;
    Py_RETURN_NONE;
}

constinit const MethodSpec random_method{
    {"random", {}, false, "float"},
    "random() -> x in the interval [0, 1).\n\n"
    "The top 53 bits of the next 64-bit output, times 2**-53.",
    nullptr, random_float};

constinit const MethodSpec expovariate_method{
    {"expovariate", expovariate_parameters, false, "float"},
    "Exponential distribution.\n\n"
    "lambd is 1.0 divided by the desired mean; it should be nonzero. The draw\n"
    "is random.Random.expovariate's, -log(1.0 - random()) / lambd, bit for bit.",
    nullptr, expovariate};

constinit const MethodSpec getrandbits_method{
    {"getrandbits", bits_parameters, false, "int"},
    "getrandbits(k) -> x.  Generates an int with k random bits.\n\n"
    "k up to 64 takes the top k bits of one output; a larger k takes whole\n"
    "outputs, the first the least significant, and the top bits of the last.",
    nullptr, getrandbits};

constinit const MethodSpec seed_method{
    {"seed", seed_parameters, false, "None"},
    "Sets the key and starts stream 0 of it.\n\n"
    "a is the key, an int from 0 to 2**128 - 1; None takes 128 bits from\n"
    "os.urandom().",
    nullptr, seed};

constinit const MethodSpec set_stream_method{
    {"set_stream", stream_parameters, false, "None"},
    "Starts stream number stream (an int from 0 to 2**128 - 1) of the key.\n\n"
    "Whatever the generator has drawn before, the draws that follow depend only\n"
    "on the key and stream; gauss_next is cleared. Different streams of one key\n"
    "never share an output block.",
    nullptr, set_stream};

constinit const MethodSpec getstate_method{
    {"getstate", {}, false, "tuple[Any, ...]"},
    "Return internal state; can be passed to setstate() later.",
    nullptr, getstate};

constinit const MethodSpec setstate_method{
    {"setstate", state_parameters, false, "None"},
    "Restore internal state from object returned by getstate().",
    nullptr, setstate};

const MethodSpec* const philox_methods[] = {
    &random_method,     &expovariate_method, &getrandbits_method, &seed_method,
    &set_stream_method, &getstate_method,    &setstate_method,
};

// --- The type -------------------------------------------------------------------

constexpr Parameter init_parameters[] = {{"seed", "int | None", "None"}};
constexpr Signature init_signature{"Philox", init_parameters};

constexpr char philox_doc[] =
    "Philox(seed=None)\n--\n\n"
    "Random numbers from the counter-based generator Philox4x64-10.\n"
    "\n"
    "A random.Random whose draws come from a 128-bit key (the seed) and a\n"
    "256-bit counter, so that set_stream() starts any of 2**128 streams of the\n"
    "key in constant time. random() takes the top 53 bits of one 64-bit\n"
    "output. The stream s of key k gives the outputs of NumPy's\n"
    "Philox(key=k, counter=s << 128).";

// Allocates without seeding: __init__ seeds, and an instance being unpickled
// or copied gets its state from setstate().
PyObject* philox_new(PyTypeObject* type, PyObject*, PyObject*) {
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    PhiloxState* state = self ? find_state(self.get()) : nullptr;
    if (!state) return nullptr;
    *state = PhiloxState{};
    start_stream(*state, 0, 0);
    return self.release();
}

// Calls self.seed(seed), as random.Random.__init__ does, so that a subclass's
// seed takes part.
int philox_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* module = PyType_GetModuleByDef(Py_TYPE(self), &individual_module);
    if (!module) return -1;
    BoundArguments bound(init_signature, module);
    if (!bind(bound, args, kwargs)) return -1;
    Ref result = Ref::steal(
        PyObject_CallMethodOneArg(self, module_state(module).names.seed, bound[0] ? bound[0] : Py_None));
    return result ? 0 : -1;
}

PyObject* get_gauss_next(PyObject* self, void*) {
    const PhiloxState* state = find_state(self);
    if (!state) return nullptr;
    if (!state->has_gauss_next) Py_RETURN_NONE;
    return PyFloat_FromDouble(state->gauss_next);
}

// None, or deleting, clears it; anything else goes through float().
int set_gauss_next(PyObject* self, PyObject* value, void*) {
    PhiloxState* state = find_state(self);
    if (!state) return -1;
    double spare = 0.0;
    if (value && value != Py_None && !float_argument(value, spare)) return -1;
    state->has_gauss_next = value && value != Py_None;
    state->gauss_next = spare;
    return 0;
}

PyGetSetDef philox_getset[] = {
    {"gauss_next", get_gauss_next, set_gauss_next,
     "The second normal deviate of the pair that gauss() computed last, which\n"
     "its next call returns; None when there is none.",
     nullptr},
    {},
};

PyType_Slot philox_slots[] = {
    {Py_tp_doc, const_cast<char*>(philox_doc)},
    {Py_tp_new, reinterpret_cast<void*>(philox_new)},
    {Py_tp_init, reinterpret_cast<void*>(philox_init)},
    {Py_tp_getset, philox_getset},
    {0, nullptr},
};

// A negative size extends the base's layout, which _random keeps private.
// The type cannot be immutable: its base, a class of Python code, is not.
PyType_Spec philox_spec = {
    "tavlen.individual.Philox",
    -static_cast<int>(sizeof(PhiloxState)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    philox_slots,
};

}  // namespace

PyTypeObject* create_philox_type(PyObject* module, PyObject* random_class) {
    Ref bases = Ref::steal(PyTuple_Pack(1, random_class));
    if (!bases) return nullptr;
    Ref type_object = Ref::steal(PyType_FromModuleAndSpec(module, &philox_spec, bases.get()));
    if (!type_object) return nullptr;
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(type_object.get());
    const Py_ssize_t state_size = PyType_GetTypeDataSize(type);
    if (state_size < static_cast<Py_ssize_t>(sizeof(PhiloxState))) {
        return raise(PyExc_SystemError, "Philox: the type's native state is %zd bytes, not %zu", state_size,
                     sizeof(PhiloxState));
    }
    module_state(module).philox_state_offset = type->tp_basicsize - state_size;
    if (!install_methods(module, type, philox_methods)) return nullptr;
    return reinterpret_cast<PyTypeObject*>(type_object.release());
}

}  // namespace tavlen
