// An ecCodes handle that frees itself, with the key reads the interop tests
// use. Include only where VALMORA_HAVE_ECCODES_API is defined.
#ifndef VALMORA_ECCODES_UTIL_H
#define VALMORA_ECCODES_UTIL_H

#include "testutil.h"

#include <cmath>
#include <string>
#include <vector>

#include <eccodes.h>

namespace testutil {

struct Handle {
    codes_handle *h = nullptr;
    Handle() = default;
    explicit Handle(codes_handle *x) : h(x) {}
    Handle(const Handle &) = delete;
    ~Handle()
    {
        if (h) codes_handle_delete(h);
    }
    long num(const char *key) const
    {
        long v = -999999;
        codes_get_long(h, key, &v);
        return v;
    }
    double real(const char *key) const
    {
        double v = NAN;
        codes_get_double(h, key, &v);
        return v;
    }
    std::string str(const char *key) const
    {
        char buf[256] = {0};
        size_t len = sizeof buf;
        codes_get_string(h, key, buf, &len);
        return buf;
    }
    bool has(const char *key) const
    {
        int err = 0;
        return codes_is_defined(h, key) && !codes_is_missing(h, key, &err) && err == 0;
    }
    Bytes message() const
    {
        const void *m = nullptr;
        size_t len = 0;
        codes_get_message(h, &m, &len);
        const auto *p = static_cast<const unsigned char *>(m);
        return Bytes(p, p + len);
    }
    std::vector<double> values() const
    {
        size_t n = 0;
        codes_get_size(h, "values", &n);
        std::vector<double> v(n);
        codes_get_double_array(h, "values", v.data(), &n);
        v.resize(n);
        return v;
    }
};

} // namespace testutil

#endif /* VALMORA_ECCODES_UTIL_H */
