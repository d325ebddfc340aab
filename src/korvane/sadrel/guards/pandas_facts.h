// The facts behind the native block writer: pandas, numpy and the csv module as an export's first block found them.
#pragma once

#include "guards/seen.h"
#include "kvrt.h"

namespace sadrel {

/// Whether `pandas.DataFrame(data=rows, columns=cols).to_csv(path, ...)`
/// still writes what the block writer writes: pandas and numpy of a checked
/// release, every pandas object on the way (the frame and formatter classes
/// whole, the functions and modules they call) as pandas made it and as
/// first seen, the options at their defaults, the csv module's quoting known.
class PandasFacts {
public:
    /// Takes the facts at the first call; afterwards, whether they hold.
    bool hold(const kvrt::Globals &g);

    /// The csv module quotes a field with "\r".
    bool quote_cr() const { return quote_cr_; }
    /// ... with NUL: 1 quoted, 0 not, -1 not known.
    int nul() const { return nul_; }
    /// A copy of pandas.io.common.extension_to_compression as first seen;
    /// empty where the facts were not usable.
    py::handle compressions() const { return compressions_; }

private:
    bool take(const kvrt::Globals &g);
    bool still(const kvrt::Globals &g) const;

    bool taken_ = false;
    bool usable_ = false;
    py::object pandas_;       // the global `pandas`
    Facts facts_;
    py::object open_;         // io.open
    py::object config_;       // pandas' option registry
    py::object printoptions_; // numpy.get_printoptions
    py::object compressions_seen_;  // io.common.extension_to_compression itself
    py::object compressions_;
    bool infer_string_ = false;  // future.infer_string's default in this release
    bool quote_cr_ = false;
    int nul_ = -1;
};

}  // namespace sadrel
