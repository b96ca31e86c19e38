/* The read-only floor of the benchmark: the least work any profiler of a list
 * of dicts must do, with nothing recorded.
 *
 * `walk(rows)` visits every dict of the list, every entry of each dict through
 * PyDict_Next, takes the UTF-8 text of every key with PyUnicode_AsUTF8AndSize,
 * and classifies every value (None, exact int or bool, exact float, exact str,
 * anything else) reading its payload the cheapest way the C API offers. The
 * results are folded into a checksum that is returned, so that the compiler
 * cannot drop any of the reads. `walk_row(row)` does the same for one dict.
 *
 * It is built against the same limited API (3.10) as the module it is
 * compared with, so it stands for what that module could reach at best.
 * It is compiled by bench/run.py at run time and never shipped.
 */
#define Py_LIMITED_API 0x030A0000
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdint.h>
#include <string.h>

/* Mixes one 64-bit word into the running checksum (a multiply-xorshift step,
 * cheap and order dependent). */
static inline uint64_t fold(uint64_t sum, uint64_t word) {
    sum ^= word;
    sum *= 0x9E3779B97F4A7C15ull;
    return sum ^ (sum >> 29);
}

/* Folds a UTF-8 text by its length and its first and last bytes: enough to
 * show the bytes were made available, without hashing them (hashing is a
 * profiler's work, not the floor's). */
static inline uint64_t fold_text(uint64_t sum, const char* text, Py_ssize_t len) {
    uint64_t word = (uint64_t)len;
    if (len > 0) {
        word ^= ((uint64_t)(unsigned char)text[0] << 32) ^
                ((uint64_t)(unsigned char)text[len - 1] << 40);
    }
    return fold(sum, word);
}

/* Reads one value; returns 0 on success, -1 with an exception set. */
static int fold_value(PyObject* value, uint64_t* sum) {
    if (value == Py_None) {
        *sum = fold(*sum, 1);
        return 0;
    }
    if (PyLong_CheckExact(value) || PyBool_Check(value)) {
        int overflow = 0;
        long x = PyLong_AsLongAndOverflow(value, &overflow);
        if (x == -1 && overflow == 0 && PyErr_Occurred()) return -1;
        *sum = fold(*sum, (uint64_t)x ^ ((uint64_t)(overflow + 2) << 56));
        return 0;
    }
    if (PyFloat_CheckExact(value)) {
        double x = PyFloat_AsDouble(value);
        uint64_t bits;
        memcpy(&bits, &x, sizeof bits);
        *sum = fold(*sum, bits);
        return 0;
    }
    if (PyUnicode_CheckExact(value)) {
        Py_ssize_t len = 0;
        const char* text = PyUnicode_AsUTF8AndSize(value, &len);
        if (text == NULL) {
            /* A lone surrogate: a profiler would treat it as missing. */
            PyErr_Clear();
            *sum = fold(*sum, 2);
            return 0;
        }
        *sum = fold_text(*sum, text, len);
        return 0;
    }
    *sum = fold(*sum, 3);
    return 0;
}

/* Reads one dict; returns 0 on success, -1 with an exception set. */
static int fold_dict(PyObject* dict, uint64_t* sum) {
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) {
            PyErr_SetString(PyExc_TypeError, "floor: a key is not a str");
            return -1;
        }
        Py_ssize_t len = 0;
        const char* text = PyUnicode_AsUTF8AndSize(key, &len);
        if (text == NULL) return -1;
        *sum = fold_text(*sum, text, len);
        if (fold_value(value, sum) < 0) return -1;
    }
    return 0;
}

static PyObject* walk(PyObject* self, PyObject* rows) {
    (void)self;
    if (!PyList_Check(rows)) {
        PyErr_SetString(PyExc_TypeError, "floor: rows must be a list");
        return NULL;
    }
    uint64_t sum = 0;
    Py_ssize_t n = PyList_Size(rows);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* row = PyList_GetItem(rows, i); /* borrowed */
        if (row == NULL) return NULL;
        if (!PyDict_Check(row)) continue;
        if (fold_dict(row, &sum) < 0) return NULL;
    }
    return PyLong_FromUnsignedLongLong(sum);
}

/* The same read for one row per call: the floor of a caller that hands over
 * its rows one at a time, argument checks and call overhead included. */
static PyObject* walk_row(PyObject* self, PyObject* row) {
    (void)self;
    if (!PyDict_Check(row)) {
        PyErr_SetString(PyExc_TypeError, "floor: a row must be a dict");
        return NULL;
    }
    uint64_t sum = 0;
    if (fold_dict(row, &sum) < 0) return NULL;
    return PyLong_FromUnsignedLongLong(sum);
}

static PyMethodDef floor_methods[] = {
    {"walk", walk, METH_O, "walk(rows) -> int: read every cell of a list of dicts, return a checksum"},
    {"walk_row", walk_row, METH_O, "walk_row(row) -> int: read every cell of one dict, return a checksum"},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT,
    .m_name = "_karvo_bench_floor",
    .m_doc = "Read-only floor for the karvo benchmark",
    .m_size = -1,
    .m_methods = floor_methods,
};

PyMODINIT_FUNC PyInit__karvo_bench_floor(void) { return PyModule_Create(&floor_module); }
