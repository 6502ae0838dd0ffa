// The binding layer every extension module is written with. Each Python-facing rule is
// implemented once here (arrays, out=, output sizing, destroyed guard, state blobs, status
// codes, enumeration keywords, telemetry capsules, GIL release), so that a module file is
// a table of one line per method.
#pragma once

#include <nanobind/nanobind.h>

#define PY_ARRAY_UNIQUE_SYMBOL VELTRA_ARRAY_API
#ifndef VXB_DEFINE_ARRAY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "vx_base.h"

extern "C" VX_API int vx_tlm_closed(const vx_tlm *ctx);  // vx_tlm.h

namespace vxb {

namespace nb = nanobind;
using namespace nb::literals;

// ---- errors ------------------------------------------------------------------------

// Set a Python exception with a printf-style message and unwind to nanobind.
[[noreturn]] void raise(PyObject *type, const char *fmt, ...);
[[noreturn]] inline void raise_pending() { throw nb::python_error(); }

// Non-zero core status -> ValueError "<method> failed (rc=N)".
inline void check_status(int rc, const char *method)
{
    if (rc != 0)
        raise(PyExc_ValueError, "%s failed (rc=%d)", method, rc);
}

// What __init__ raises when create returns NULL: the class's validation ValueError, or
// MemoryError "<object>_create returned NULL".
struct OnNull {
    PyObject *type;
    std::string message;
    [[noreturn]] void raise_it() const { raise(type, "%s", message.c_str()); }
};
inline OnNull invalid(const char *message) { return {PyExc_ValueError, message}; }
inline OnNull no_memory(const char *object) { return {PyExc_MemoryError, std::string(object) + "_create returned NULL"}; }

// String enumeration keyword: the index of `got` in `names`, or ValueError
// `<keyword> must be one of "a", "b", got 'x'`. Take the keyword as Text, not const char *:
// a NUL inside the str would otherwise cut it into an accepted name ("rrc\0x" as "rrc").
int choose(const char *keyword, std::string_view got, std::initializer_list<const char *> names);

// ---- argument kinds ----------------------------------------------------------------

// A count: any Python int, taken modulo 2^64 (no range check).
struct Count {
    uint64_t v = 0;
    operator uint64_t() const { return v; }
};
// A str handed to the core as C text. An embedded NUL would silently cut it (two probe
// names sharing one id), so c_str() raises ValueError "embedded null character"; as a
// string_view (choose()) it is the whole str.
struct Text {
    const char *s = nullptr;
    Py_ssize_t n = 0;
    operator std::string_view() const { return {s, static_cast<size_t>(n)}; }
    const char *c_str() const
    {
        if (std::strlen(s) != static_cast<size_t>(n))
            raise(PyExc_ValueError, "embedded null character");
        return s;
    }
};
// A flag: the truth value of any object.
struct Flag {
    bool v = false;
    operator bool() const { return v; }
};

// Telemetry context from None (detach), a capsule "veltra.telemetry.vx_tlm", or an object
// with a `_capsule` attribute holding one. `keep` receives the capsule, which holds a
// reference to the context: keep it until the context is attached.
vx_tlm *telemetry_context(nb::handle tlm, nb::object &keep);
vx_tlm *telemetry_context(nb::handle tlm);

// The same, refusing a context destroyed by its owner: ValueError "telemetry context is
// closed". (Inline: only modules with telemetry link the context code.)
inline vx_tlm *open_telemetry_context(nb::handle tlm, nb::object &keep)
{
    vx_tlm *ctx = telemetry_context(tlm, keep);
    if (ctx && vx_tlm_closed(ctx))
        raise(PyExc_ValueError, "telemetry context is closed");
    return ctx;
}

// The process-wide interrupt state held by the module "veltra.interrupt.interrupt": a
// module that waits passes it to vx_interrupt_guard_state_adopt during initialisation. A
// missing module, attribute or capsule raises, and so fails the import.
void *shared_interrupt_state();

// A file-system path argument (str or any os.PathLike) as bytes in the file-system
// encoding; an embedded NUL raises ValueError, another type TypeError.
std::string fs_path(nb::handle path);

// ---- NumPy dtypes --------------------------------------------------------------------

template <class T> constexpr int npy_type()
{
    if constexpr (std::is_same_v<T, float>) return NPY_FLOAT32;
    else if constexpr (std::is_same_v<T, double>) return NPY_FLOAT64;
    else if constexpr (std::is_same_v<T, vx_cf32>) return NPY_COMPLEX64;
    else if constexpr (std::is_same_v<T, vx_cf64>) return NPY_COMPLEX128;
    else if constexpr (std::is_same_v<T, int8_t>) return NPY_INT8;
    else if constexpr (std::is_same_v<T, int16_t>) return NPY_INT16;
    else if constexpr (std::is_same_v<T, int32_t>) return NPY_INT32;
    else if constexpr (std::is_same_v<T, int64_t>) return NPY_INT64;
    else if constexpr (std::is_same_v<T, uint8_t>) return NPY_UINT8;
    else if constexpr (std::is_same_v<T, uint16_t>) return NPY_UINT16;
    else if constexpr (std::is_same_v<T, uint32_t>) return NPY_UINT32;
    else if constexpr (std::is_same_v<T, uint64_t>) return NPY_UINT64;
    else static_assert(sizeof(T) == 0, "no NumPy dtype for this element type");
}

// ---- arrays --------------------------------------------------------------------------

// A C-contiguous copy of an array.
nb::object private_copy(nb::handle arr);

// Input array: NumPy's array-from-any conversion to the method's dtype, C-contiguous,
// safe casts only (float64 is never narrowed to float32), any shape, read in C order.
nb::object as_array(nb::handle obj, int type_num);

// A parameter array (taps, tables) whose documentation says it is converted: any cast
// NumPy allows to `type_num` (NPY_NOTYPE keeps the array's own dtype), C-contiguous, and
// exactly `ndim` dimensions, else ValueError "<name> must be a <ndim>-D array".
nb::object as_param_array(nb::handle obj, int type_num, int ndim, const char *name);

template <class T> class InArray {
  public:
    explicit InArray(nb::handle obj) : arr_(as_array(obj, npy_type<T>())) {}
    const T *data() const { return static_cast<const T *>(PyArray_DATA(ap())); }
    uint64_t size() const { return static_cast<uint64_t>(PyArray_SIZE(ap())); }
    int ndim() const { return PyArray_NDIM(ap()); }
    const npy_intp *shape() const { return PyArray_DIMS(ap()); }
    // Copy the input when it shares memory with the output the core writes (`out`, bytes),
    // unless both start at the same element and the core works in place (`same_ok`).
    void detach_from(const void *out, uint64_t out_bytes, bool same_ok)
    {
        const auto *a = reinterpret_cast<const char *>(data());
        const auto *b = static_cast<const char *>(out);
        const bool overlap = a < b + out_bytes && b < a + size() * sizeof(T);
        if (overlap && !(same_ok && a == b))
            arr_ = private_copy(arr_);
    }

  private:
    PyArrayObject *ap() const { return reinterpret_cast<PyArrayObject *>(arr_.ptr()); }
    nb::object arr_;
};

// `out` (or another named output) when given: an ndarray of exactly the dtype,
// C-contiguous and writeable, else TypeError "<name> must be a writable, ...".
PyArrayObject *checked_out(nb::handle out, int type_num, const char *name);

// Output of a block operation. Without `out`: a fresh 1-D array of `need` elements, shrunk
// in place to the produced count. With `out`: at least `need` elements (ValueError "out has
// N elements, need >= M"), the core may fill all of it, and the result is a 1-D view of
// its first produced elements whose base is `out`.
nb::object out_alloc(nb::handle out, int type_num, uint64_t need, const char *name = "out");
nb::object out_finish(nb::handle out, nb::handle arr, uint64_t produced);

template <class T> class OutArray {
  public:
    OutArray(nb::handle out, uint64_t need, const char *name = "out")
        : out_(out), arr_(out_alloc(out, npy_type<T>(), need, name)) {}
    T *data() const { return static_cast<T *>(PyArray_DATA(ap())); }
    uint64_t capacity() const { return static_cast<uint64_t>(PyArray_SIZE(ap())); }
    nb::object finish(uint64_t produced) { return out_finish(out_, arr_, produced); }

  private:
    PyArrayObject *ap() const { return reinterpret_cast<PyArrayObject *>(arr_.ptr()); }
    nb::handle out_;
    nb::object arr_;
};

// Output of an element-wise map: exactly n elements. `out`, when given, must have the
// input's element count (ValueError "out length N != input length M") and is returned.
nb::object map_alloc(nb::handle out, int type_num, uint64_t n);

template <class T> class MapOut {
  public:
    MapOut(nb::handle out, uint64_t n) : arr_(map_alloc(out, npy_type<T>(), n)) {}
    T *data() const { return static_cast<T *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(arr_.ptr()))); }
    nb::object finish() { return std::move(arr_); }

  private:
    nb::object arr_;
};

// Required capacity by the capacity rule: an object-only bound of 0 means the input length.
inline uint64_t need_from_bound(uint64_t n_in, uint64_t bound) { return vx_capacity_need(n_in, bound); }
// Requested count of a read-style method: a signed size, range-checked.
uint64_t read_count(nb::handle count, uint64_t natural);

// ---- instances -------------------------------------------------------------------------

struct HandleTag {};

// The one field of every instance: the core pointer (NULL before construction and after
// destroy), plus the marks of the calls in progress on it. Every method receives its
// instance through the caster below, which marks it BEFORE any other argument converts:
// a conversion can run Python code that lets another thread in (an `__array__` releasing
// the interpreter lock), and that thread is then refused with RuntimeError "object is in
// use by a call in progress". Calls nest on the thread that holds the mark (argument
// conversion may call back into the object); destroy() and __init__ refuse while a call
// holds the core pointer across Python code (`Use`) or another thread's call runs.
//
// A class whose object serves two threads at once by design (a single-producer single-
// consumer ring) passes Exclusive = false: calls of several threads then run together,
// even beside one running without the interpreter lock, and only pin the object.
template <class Core, void (*Destroy)(Core *), bool Exclusive = true> struct Handle : HandleTag {
    using core_type = Core;
    static constexpr void (*destroy_fn)(Core *) = Destroy;
    static constexpr bool exclusive = Exclusive;

    Core *p = nullptr;
    int busy = 0;   // calls running without the interpreter lock
    int calls = 0;  // calls holding the core pointer across Python code (Use)
    std::atomic<PyThreadState *> owner{nullptr};  // thread of the calls in progress
    int depth = 0;  // calls in progress on `owner`, nested

    Handle() = default;
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    ~Handle() { Destroy(p); }

    Core *get() const
    {
        if (!p)
            raise(PyExc_RuntimeError, "destroyed");
        if (busy && Exclusive)
            raise_busy();
        return p;
    }
    void destroy()
    {
        refuse_in_use();
        Destroy(p);
        p = nullptr;
    }
    // Swap in a new core object (repeated __init__): the old one is freed only now.
    void replace(Core *fresh)
    {
        if (busy || calls || foreign())
            Destroy(fresh);
        refuse_in_use();
        Destroy(p);
        p = fresh;
    }
    void refuse_in_use() const
    {
        if (busy)
            raise_busy();
        if (calls || foreign())
            raise(PyExc_RuntimeError, "object is in use by a call in progress");
    }
    [[noreturn]] static void raise_busy()
    {
        raise(PyExc_RuntimeError, "object is in use by a call running in another thread");
    }

    // The call mark: taken by every call before its arguments convert, released when it
    // returns or raises.
    void enter()
    {
        PyThreadState *me = PyThreadState_Get(), *held = nullptr;
        if (Exclusive && !owner.compare_exchange_strong(held, me) && held != me)
            raise(PyExc_RuntimeError, "object is in use by a call in progress");
        ++depth;
    }
    void leave() noexcept
    {
        if (--depth == 0 && Exclusive)
            owner.store(nullptr);
    }
    // A call of another thread is in progress.
    bool foreign() const
    {
        PyThreadState *held = owner.load();
        return held && held != PyThreadState_Get();
    }
};

// A call in progress on an instance: the core pointer, checked once by get(), stays valid
// for the scope because destroy() and __init__ refuse meanwhile. Every method of Class
// holds one; a hand-written method that converts arguments after taking the pointer
// does the same:  Use<H> c(h);  ...  core_fn(c, ...);
template <class H> class Use {
  public:
    using Core = typename H::core_type;
    explicit Use(H &h) : h_(h), c_(h.get()) { ++h.calls; }
    ~Use() { --h_.calls; }
    Use(const Use &) = delete;
    Use &operator=(const Use &) = delete;
    Core *get() const { return c_; }
    operator Core *() const { return c_; }

  private:
    H &h_;
    Core *c_;
};

// The instance __init__ runs on: `h` is NULL before construction. Its caster marks a
// constructed instance like any call, and refuses a destroyed one ("destroyed").
template <class H> struct Init {
    nb::handle self;
    H *h = nullptr;
};

// Marks the instance busy and releases the interpreter lock for the scope; the lock is
// retaken before the busy mark is cleared.
template <class H> class Released {
  public:
    explicit Released(H &h) : h_(h), state_((++h.busy, PyEval_SaveThread())) {}
    ~Released()
    {
        PyEval_RestoreThread(state_);
        --h_.busy;
    }

  private:
    H &h_;
    PyThreadState *state_;
};

enum class Gil { hold, release };

// Whether a block operation may write its output over exactly its input (the element-wise
// maps may when input and output elements have the same size). Any other overlap between
// `out` and the input gets a copy of the input.
enum class InPlace { no, yes };

// Run f() with or without the interpreter lock.
template <Gil G, class H, class F> decltype(auto) call(H &h, F &&f)
{
    if constexpr (G == Gil::release) {
        Released<H> r(h);
        return f();
    } else {
        return f();
    }
}

// Docstrings built at module load (class names substituted) live as long as the process.
const char *keep(std::string s);

// The construction arguments of an object: `Args().f("rate", 0.25).i("n", 39).b("real",
// true)` gives the __repr__ text "rate=0.25, n=39, real=True" (floats print as Python's
// repr does) and the keywords {"rate": 0.25, "n": 39, "real": True} a copy is built from.
class Args {
  public:
    Args &f(const char *name, double v);
    Args &i(const char *name, long long v);
    Args &u(const char *name, unsigned long long v);
    Args &b(const char *name, bool v);
    Args &s(const char *name, const char *v);  // quoted, as repr(str)
    // `text` already in repr form, for the value `v`.
    Args &raw(const char *name, const std::string &text, nb::handle v) { return put(name, text, v); }
    Args &o(const char *name, nb::handle v);   // repr(v)
    std::string str() const { return s_; }
    const nb::dict &kwargs() const { return kw_; }

  private:
    Args &put(const char *name, const std::string &text, nb::handle value);
    std::string s_;
    nb::dict kw_;
};

// __reduce__ of a picklable instance: (functools.partial(type(self), **kwargs), (), blob),
// the blob from get_state when the class has one, else None.
nb::object reduce_from(nb::handle self, const nb::dict &kwargs);

// ---- classes ---------------------------------------------------------------------------

// A final class with no __dict__ over one core object type. The common methods (destroy,
// __enter__, __exit__) are added here; the rest is declared one line per method.
template <class H> class Class : public nb::class_<H> {
    using Base = nb::class_<H>;

  public:
    using Core = typename H::core_type;

    Class(nb::handle scope, const char *name, const char *doc)
        : Base(scope, name, nb::is_final(), doc), name_(name)
    {
        // On an instance never constructed (made by __new__ alone) both do nothing.
        Base::def("destroy", [](nb::handle self) {
            if (H *h = instance(self))
                h->destroy();
        }, keep("Release the native object now. Idempotent; later calls of any other method\n"
                "raise ``RuntimeError('destroyed')``.\n\nReturns\n-------\nNone\n"));
        Base::def("__enter__", [](nb::handle self) { return nb::borrow(self); },
                  keep("Return the " + name_ + " itself, for use in a ``with`` block."));
        Base::def("__exit__", [](nb::handle self, nb::args) {
            if (H *h = instance(self))
                h->destroy();
        }, keep("Destroy the " + name_ + " on leaving a ``with`` block; exceptions propagate."));
    }

    // The handle of `self`, NULL before construction; TypeError for another type's object.
    static H *instance(nb::handle self)
    {
        if (!nb::inst_check(self) || !self.type().is(nb::type<H>()))
            raise(PyExc_TypeError, "expected an instance of its own class");
        return nb::inst_ready(self) ? nb::inst_ptr<H>(self) : nullptr;
    }

    // __init__(**kwargs) -> Create(args...). A repeated __init__ builds the new core object
    // first and frees the old one only on success; a destroyed instance stays destroyed.
    template <class... A, class... Extra>
    Class &ctor(Core *(*create)(A...), OnNull on_null, const Extra &...extra)
    {
        Base::def("__init__", [create, on_null](Init<H> self, A... a) {
            H *h = self.h;
            if (h && !h->p)  // destroyed while the arguments converted
                raise(PyExc_RuntimeError, "destroyed");
            if (h)
                h->refuse_in_use();
            Core *c = create(a...);
            if (!c)
                on_null.raise_it();
            if (!h) {
                h = nb::inst_ptr<H>(self.self);
                new (h) H();
                h->p = c;
                nb::inst_mark_ready(self.self);
            } else {
                h->replace(c);
            }
        }, extra...);
        return *this;
    }

    // A method that forwards its arguments to a core function (taking the object const or
    // not) after the destroyed guard.
    template <class C, class R, class... A, class... Extra>
        requires std::is_same_v<std::remove_const_t<C>, Core>
    Class &fn(const char *name, R (*f)(C *, A...), const Extra &...extra)
    {
        Base::def(name, [f](H &h, A... a) -> R { return f(Use<H>(h), a...); }, extra...);
        return *this;
    }

    // A method whose core call returns a status: non-zero -> "<name> failed (rc=N)".
    template <class... A, class... Extra>
    Class &status(const char *name, int (*f)(Core *, A...), const Extra &...extra)
    {
        Base::def(name, [f, name](H &h, A... a) { check_status(f(Use<H>(h), a...), name); }, extra...);
        return *this;
    }

    Class &reset(void (*f)(Core *))
    {
        Base::def("reset", [f](H &h) { f(h.get()); },
                  keep("Return the " + name_ + " to its post-construction running state; parameters\n"
                       "and values set later are kept.\n\nReturns\n-------\nNone\n"));
        return *this;
    }

    // state_bytes / get_state / set_state over the core's blob functions.
    Class &state(uint64_t (*bytes)(const Core *), void (*get)(const Core *, void *),
                 int (*set)(Core *, const void *))
    {
        Base::def("state_bytes", [bytes](H &h) { return bytes(h.get()); },
                  keep("Length in bytes of this " + name_ + "'s state blob.\n\nReturns\n-------\nint\n"));
        Base::def("get_state", [bytes, get](H &h) {
            Core *c = h.get();
            const uint64_t n = bytes(c);
            nb::object b = nb::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n)));
            if (!b)
                raise_pending();
            get(c, PyBytes_AS_STRING(b.ptr()));
            return b;
        }, keep("Save the running state of this " + name_ + " as bytes.\n\nReturns\n-------\nbytes\n"
                "    The state blob; restore it with ``set_state`` into an object built with the\n"
                "    same parameters.\n"));
        Base::def("set_state", [bytes, set](H &h, nb::handle blob) {
            Core *c = h.get();
            if (!PyBytes_Check(blob.ptr()))
                raise(PyExc_TypeError, "set_state expects bytes");
            if (static_cast<uint64_t>(PyBytes_GET_SIZE(blob.ptr())) != bytes(c))
                raise(PyExc_ValueError, "state blob size mismatch");
            if (set(c, PyBytes_AS_STRING(blob.ptr())) != 0)
                raise(PyExc_ValueError, "set_state rejected the blob");
        }, "blob"_a.none(), keep("Restore a state saved by ``get_state``.\n\nParameters\n----------\n"
                          "blob : bytes\n    A blob of exactly ``state_bytes()`` bytes.\n\n"
                          "Raises\n------\nTypeError\n    If `blob` is not bytes.\nValueError\n"
                          "    If its size differs, or its header or fields are rejected; the " +
                          name_ + "\n    is then unchanged.\n"));
        return *this;
    }

    // set_telemetry(tlm, prefix, decim=1) over <object>_set_telemetry. The core object
    // holds a reference to the context itself, so no Python reference is kept.
    Class &telemetry(int (*set)(Core *, vx_tlm *, const char *, unsigned long))
    {
        Base::def("set_telemetry", [set](H &h, nb::handle tlm, Text prefix, Count decim) {
            Use<H> pin(h);  // the `_capsule` lookup runs Python code
            Core *c = pin;
            nb::object capsule;
            vx_tlm *ctx = open_telemetry_context(tlm, capsule);
            check_status(set(c, ctx, prefix.c_str(), static_cast<unsigned long>(decim.v)),
                         "set_telemetry");
        }, "tlm"_a.none(), "prefix"_a, "decim"_a = Count{1},
           keep("Attach a telemetry context (or detach with None).\n\nParameters\n----------\n"
                "tlm : veltra.telemetry.Telemetry, capsule or None\n"
                "    The context. The attachment holds the context itself: it stays valid\n"
                "    after the Telemetry is destroyed or collected, and the records emitted\n"
                "    from then on are dropped.\n"
                "prefix : str\n    Prefix of this object's probe names.\ndecim : int, optional\n"
                "    Emit every decim-th look of each probe.\n\nRaises\n------\nValueError\n"
                "    \"telemetry context is closed\" for a capsule of a destroyed context;\n"
                "    \"set_telemetry failed (rc=-4)\" for a prefix or decimation refused or a\n"
                "    full probe table (the previous attachment is kept).\n"));
        return *this;
    }

    // Read-only property from a struct field or a getter.
    template <class T, class... Extra>
    Class &ro(const char *name, T Core::*field, const Extra &...extra)
    {
        Base::def_prop_ro(name, [field](H &h) { return h.get()->*field; }, extra...);
        return *this;
    }
    template <class R, class... Extra>
    Class &ro(const char *name, R (*getter)(const Core *), const Extra &...extra)
    {
        Base::def_prop_ro(name, [getter](H &h) { return getter(h.get()); }, extra...);
        return *this;
    }
    // Read/write property stored straight into a struct field.
    template <class T, class... Extra>
    Class &rw(const char *name, T Core::*field, const Extra &...extra)
    {
        Base::def_prop_rw(name, [field](H &h) { return h.get()->*field; },
                          [field](H &h, T v) { h.get()->*field = v; }, extra...);
        return *this;
    }

    // Read/write property whose core setter refuses a value with a status:
    // ValueError "<name> must be <what>".
    template <class T, class... Extra>
    Class &rw(const char *name, T Core::*field, int (*set)(Core *, T), const char *what,
              const Extra &...extra)
    {
        Base::def_prop_rw(name, [field](H &h) { return h.get()->*field; },
                          [set, name, what](H &h, T v) {
                              if (set(h.get(), v) != 0)
                                  raise(PyExc_ValueError, "%s must be %s", name, what);
                          }, extra...);
        return *this;
    }
    // Read/write property with a setter that cannot fail.
    template <class T, class... Extra>
    Class &rw(const char *name, T Core::*field, void (*set)(Core *, T), const Extra &...extra)
    {
        Base::def_prop_rw(name, [field](H &h) { return h.get()->*field; },
                          [set](H &h, T v) { set(h.get(), v); }, extra...);
        return *this;
    }
    // Read/write property through a core getter and setter.
    template <class T, class... Extra>
    Class &rw(const char *name, T (*getter)(const Core *), void (*setter)(Core *, T),
              const Extra &...extra)
    {
        Base::def_prop_rw(name, [getter](H &h) { return getter(h.get()); },
                          [setter](H &h, T v) { setter(h.get(), v); }, extra...);
        return *this;
    }

    // Element-wise map: f(core, in, out, n), one output per input.
    template <class I, class O, Gil G = Gil::hold, class R, class... Extra>
    Class &map(const char *name, R (*f)(Core *, const I *, O *, uint64_t), const Extra &...extra)
    {
        Base::def(name, [f](H &h, nb::handle x, nb::handle out) {
            Use<H> pin(h);
            Core *c = pin;
            InArray<I> in(x);
            MapOut<O> y(out, in.size());
            // Exactly in place only between equal element sizes: a wider output written
            // over its own input would overrun elements not yet read.
            in.detach_from(y.data(), in.size() * sizeof(O), sizeof(I) == sizeof(O));
            call<G>(h, [&] { f(c, in.data(), y.data(), in.size()); });
            return y.finish();
        }, "x"_a, "out"_a.none() = nb::none(), extra...);
        return *this;
    }

    // Block operation: f(core, in, n_in, out, out_cap) -> produced, output sized from
    // bound(core, n_in) (exact) or bound(core) (0 = the input length).
    template <class I, class O, Gil G = Gil::hold, InPlace P = InPlace::no, class Bound,
              class... Extra>
    Class &block(const char *name, uint64_t (*f)(Core *, const I *, uint64_t, O *, uint64_t),
                 Bound bound, const Extra &...extra)
    {
        Base::def(name, [f, bound](H &h, nb::handle x, nb::handle out) {
            Use<H> pin(h);
            Core *c = pin;
            InArray<I> in(x);
            uint64_t need;
            if constexpr (std::is_invocable_v<Bound, const Core *, uint64_t>)
                need = bound(c, in.size());
            else
                need = need_from_bound(in.size(), bound(c));
            OutArray<O> y(out, need);
            in.detach_from(y.data(), y.capacity() * sizeof(O), P == InPlace::yes);
            const uint64_t produced =
                call<G>(h, [&] { return f(c, in.data(), in.size(), y.data(), y.capacity()); });
            return y.finish(produced);
        }, "x"_a, "out"_a.none() = nb::none(), extra...);
        return *this;
    }

    // __repr__ "<Name>(<args>)" from the live core object; "<Name (destroyed)>", "<Name (not
    // constructed)>" or, while another thread's call runs on it, "<Name (in use)>".
    Class &repr(Args (*args)(const Core *))
    {
        std::string name = name_;
        Base::def("__repr__", [args, name](nb::handle self) {
            const H *h = instance(self);
            const char *state = !h ? "not constructed" : !h->p ? "destroyed"
                              : h->foreign() ? "in use" : nullptr;
            if (state)
                return nb::str(("<" + name + " (" + state + ")>").c_str());
            return nb::str((name + "(" + args(h->p).str() + ")").c_str());
        });
        args_ = args;
        return *this;
    }

    // Pickling (and copy.copy / copy.deepcopy): rebuild from the construction arguments
    // read from the live core object, then restore the state blob through set_state, so a
    // copy continues the stream bit-identically in any process. Without `args`, the ones
    // given to repr(). A telemetry attachment is not carried.
    Class &pickle(Args (*args)(const Core *) = nullptr)
    {
        if (!args)
            args = args_;
        if (!args)
            throw std::logic_error(name_ + ".pickle() needs the arguments of repr() or its own");
        Base::def("__reduce__", [args](H &h) {
            Use<H> pin(h);
            return reduce_from(nb::find(&h), args(pin).kwargs());
        }, keep("Pickle support: the " + name_ + "'s construction arguments and "
                                 "its state blob.\n\nReturns\n-------\ntuple\n"));
        // Takes self as a plain object: nanobind treats a __setstate__ over the class type
        // as a constructor of an uninitialised instance, and this one is already built.
        Base::def("__setstate__", [](nb::handle self, nb::handle blob) {
            self.attr("set_state")(blob);
        }, "blob"_a.none(), keep("Restore the state blob of a pickled " + name_ + "."));
        return *this;
    }

    // A class that holds what cannot travel (an open file, a live buffer, a clock):
    // pickling and copying raise TypeError "cannot pickle '<Name>' object: it holds <what>".
    Class &no_pickle(const char *what)
    {
        std::string msg = "cannot pickle '" + name_ + "' object: it holds " + what;
        Base::def("__reduce__", [msg](nb::handle) -> nb::object {
            raise(PyExc_TypeError, "%s", msg.c_str());
        }, keep("Refuses: a " + name_ + " holds " + what + ".\n\nRaises\n------\nTypeError\n"));
        return *this;
    }

    const std::string &name() const { return name_; }

  private:
    std::string name_;
    Args (*args_)(const Core *) = nullptr;
};

// ---- modules ---------------------------------------------------------------------------

// First step of every module: import the NumPy C API (ImportError "numpy._core.multiarray
// failed to import" with NumPy's own diagnostic printed first), then the module docstring
// and the `_build_info` function.
void init_module(nb::module_ &m, const char *doc);

}  // namespace vxb

// Casters for the argument kinds above.
namespace nanobind::detail {

// Every instance argument (self first, before the other arguments convert) marks its
// object for the duration of the call; see vxb::Handle.
template <class T>
struct type_caster<T, std::enable_if_t<std::is_base_of_v<vxb::HandleTag, T>, int>>
    : type_caster_base<T> {
    type_caster() = default;
    type_caster(const type_caster &) = delete;
    type_caster &operator=(const type_caster &) = delete;
    ~type_caster()
    {
        if (marked_)
            marked_->leave();
    }
    bool from_python(handle src, uint32_t flags, cleanup_list *cleanup)
    {
        // Made by __new__ alone: no handle to mark (and no warning from the base caster).
        if (inst_check(src) && src.type().is(type<T>()) && !inst_ready(src))
            vxb::raise(PyExc_RuntimeError, "destroyed");
        if (!type_caster_base<T>::from_python(src, flags, cleanup))
            return false;
        if (T *h = type_caster_base<T>::operator T *()) {
            h->enter();
            marked_ = h;
        }
        return true;
    }

  private:
    T *marked_ = nullptr;
};

template <class H> struct type_caster<vxb::Init<H>> {
    NB_TYPE_CASTER(vxb::Init<H>, const_name("object"))
    type_caster() = default;
    type_caster(const type_caster &) = delete;
    type_caster &operator=(const type_caster &) = delete;
    ~type_caster()
    {
        if (value.h)
            value.h->leave();
    }
    bool from_python(handle src, uint32_t, cleanup_list *)
    {
        if (!inst_check(src) || !src.type().is(type<H>()))
            vxb::raise(PyExc_TypeError, "__init__ needs an instance of its own class");
        value.self = src;
        if (inst_ready(src)) {
            H *h = inst_ptr<H>(src);
            if (!h->p)
                vxb::raise(PyExc_RuntimeError, "destroyed");
            h->enter();
            value.h = h;
        }
        return true;
    }
    static handle from_cpp(const vxb::Init<H> &v, rv_policy, cleanup_list *) noexcept
    {
        return v.self.inc_ref();
    }
};

template <> struct type_caster<vxb::Count> {
    NB_TYPE_CASTER(vxb::Count, const_name("int"))
    bool from_python(handle src, uint32_t, cleanup_list *) noexcept
    {
        if (!PyLong_Check(src.ptr()))
            return false;
        value.v = PyLong_AsUnsignedLongLongMask(src.ptr());
        if (value.v == (unsigned long long)-1 && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        return true;
    }
    static handle from_cpp(vxb::Count c, rv_policy, cleanup_list *) noexcept
    {
        return PyLong_FromUnsignedLongLong(c.v);
    }
};

template <> struct type_caster<vxb::Text> {
    NB_TYPE_CASTER(vxb::Text, const_name("str"))
    bool from_python(handle src, uint32_t, cleanup_list *) noexcept
    {
        if (!PyUnicode_Check(src.ptr()))
            return false;
        value.s = PyUnicode_AsUTF8AndSize(src.ptr(), &value.n);  // owned by the str
        if (!value.s) {
            PyErr_Clear();
            return false;
        }
        return true;
    }
    static handle from_cpp(const vxb::Text &t, rv_policy, cleanup_list *) noexcept
    {
        return PyUnicode_FromStringAndSize(t.s, t.n);
    }
};

template <> struct type_caster<vxb::Flag> {
    NB_TYPE_CASTER(vxb::Flag, const_name("object"))
    bool from_python(handle src, uint32_t, cleanup_list *) noexcept
    {
        const int t = PyObject_IsTrue(src.ptr());
        if (t < 0) {
            PyErr_Clear();
            return false;
        }
        value.v = t != 0;
        return true;
    }
    static handle from_cpp(vxb::Flag f, rv_policy, cleanup_list *) noexcept
    {
        return PyBool_FromLong(f.v);
    }
};

}  // namespace nanobind::detail
