// Which of the checked releases is loaded.
#include "guards/releases.h"

#include "guards/seen.h"

namespace sadrel {

const Urllib3Release *urllib3_release() {
    PyObject *urllib3 = loaded("urllib3");
    py::object version = urllib3 != nullptr ? attr_or_empty(urllib3, "__version__") : py::object();
    for (const Urllib3Release &release : kUrllib3Releases) {
        if (str_equals(version, release.version)) {
            return &release;
        }
    }
    return nullptr;
}

bool pyhive_release() {
    PyObject *pyhive = loaded("pyhive");
    py::object version = pyhive != nullptr ? attr_or_empty(pyhive, "__version__") : py::object();
    for (const char *release : kPyhiveReleases) {
        if (str_equals(version, release)) {
            return true;
        }
    }
    return false;
}

const PandasRelease *pandas_release(py::handle pandas, py::handle numpy) {
    py::object pandas_version = attr_or_empty(pandas, "__version__");
    py::object numpy_version = attr_or_empty(numpy, "__version__");
    for (const PandasRelease &release : kPandasReleases) {
        if (str_equals(pandas_version, release.pandas) && str_equals(numpy_version, release.numpy)) {
            return &release;
        }
    }
    return nullptr;
}

}  // namespace sadrel
