// Section printers: the section arrays of a GRIB edition 1 record as
// labelled text, one value per line, on the printer stream grprsm. They
// print what the arrays hold; nothing is checked and nothing is changed.
#include "valmora.h"
#include "support.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// One labelled value: an element number and the label it is shown under.
struct Item {
    int element;
    const char *label;
};

// Value lines: a space, the label padded to the value column, the value in
// nine columns. Sections 0 and 1 put the column at 38, sections 2 to 4 at 46.
// Values are taken wide so that adjusted dates and sums cannot overflow.
void line38(const char *label, long long value) { Print_(grprsm, " %-37s%9lld\n", label, value); }
void line46(const char *label, long long value) { Print_(grprsm, " %-45s%9lld\n", label, value); }

template <size_t N> void lines38(const int *a, const Item (&items)[N])
{
    for (const Item &it : items) line38(it.label, a[it.element]);
}

template <size_t N> void lines46(const int *a, const Item (&items)[N])
{
    for (const Item &it : items) line46(it.label, a[it.element]);
}

int binaryDigits(int value)
{
    int digits = 0, status = 0;
    prtbin(value, 8, &digits, &status);
    return digits;
}

// A count read from an array, as an extent of elements: a negative count
// lists nothing, so it must not move later lists back over earlier ones.
long extent(int count) { return count > 0 ? count : 0; }

// ===========================================================================
// Section 0 and the common part of section 1
// ===========================================================================

const Item kSec1Head[] = {
    {0, "Code Table 2 Version Number."},
    {1, "Originating centre identifier."},
    {2, "Model identification."},
    {3, "Grid definition."},
};

const Item kSec1Satellite[] = {
    {6, "Satellite identifier."},
    {7, "Spectral band."},
};

const Item kSec1Level[] = {
    {6, "Type of level (Code Table 3)."},
    {7, "Value 1 of level (Code Table 3)."},
    {8, "Value 2 of level (Code Table 3)."},
};

const Item kSec1Time[] = {
    {10, "Month of reference time of data."},
    {11, "Day of reference time of data."},
    {12, "Hour of reference time of data."},
    {13, "Minute of reference time of data."},
    {14, "Time unit (Code Table 4)."},
    {15, "Time range one."},
    {16, "Time range two."},
    {17, "Time range indicator (Code Table 5)"},
    {18, "Number averaged."},
    {19, "Number missing from average."},
};

const Item kSec1Tail[] = {
    {21, "Sub-centre identifier."},
    {22, "Units decimal scaling factor."},
};

// ===========================================================================
// DWD local extension (centres 78, 215, 250; definitions 253 and 254)
// ===========================================================================

const Item kDwdRun[] = {
    {48, "DWD experiment number"},
    {49, "DWD run type"},
};

const Item kDwdEnsemble[] = {
    {50, "User id"},
    {51, "Experiment identifier"},
    {52, "Ensemble identification type"},
    {53, "Number of ensemble members"},
    {54, "Actual number of ensemble member"},
};

void printDwd(const int *s)
{
    line38("DWD local usage identifier.", s[36]);
    Print_(grprsm, "%s", s[36] == 253 ? " (Database labelling and ensemble forecast)\n" : " (Database labelling)\n");
    Print_(grprsm, " Year of database entry                     %3d  (%4lld)\n", s[43],
            (long long)s[43] + 1900);
    Print_(grprsm, " Month of database entry                    %3d\n", s[44]);
    Print_(grprsm, " Day of database entry                      %3d\n", s[45]);
    Print_(grprsm, " Hour of database entry                     %3d\n", s[46]);
    Print_(grprsm, " Minute of database entry                   %3d\n", s[47]);
    lines38(s, kDwdRun);
    if (s[36] == 253) {
        lines38(s, kDwdEnsemble);
        Print_(grprsm, " Model version                            %2d.%2.2d\n", s[55], s[56]);
    }
}

// ===========================================================================
// TALVO local extension (centre 98, or sub-centre 98): local definitions
// ===========================================================================

const Item kTalvoTitles[] = {
    {1, " (Vusk labelling or ensemble forecast)\n"},
    {2, " (Cluster means and standard deviations)\n"},
    {3, " (Satellite image data)\n"},
    {4, " (Ocean model data)\n"},
    {5, " (Forecast probability data)\n"},
    {6, " (Surface temperature data)\n"},
    {7, " (Sensitivity data)\n"},
    {8, " (TALVO re-analysis data)\n"},
    {9, " (Singular vectors and ensemble perturbations)\n"},
    {10, " (EPS tubes)\n"},
    {11, " (Supplementary data used by analysis)\n"},
    {13, " (Wave 2D spectra direction and frequency)\n"},
};

const Item kTalvoCommon[] = {
    {37, "Class."},
    {38, "Type."},
    {39, "Stream."},
};

const int kStream = 39;
const int kType = 38;

void printVersionText(const int *s)
{
    // Four characters in storage order, up to the first zero octet.
    char text[5] = {0};
    memcpy(text, &s[40], 4);
    Print_(grprsm, " Version number or Experiment identifier.  %4s\n", text);
}

void printDef1(const int *s)
{
    line38("Forecast number.", s[41]);
    if (s[kStream] != 1090) line38("Total number of forecasts.", s[42]);
}

const Item kDef2[] = {
    {41, "Cluster number."},
    {42, "Total number of clusters."},
    {43, "Clustering method."},
    {44, "Start time step when clustering."},
    {45, "End time step when clustering."},
    {46, "Northern latitude of domain."},
    {47, "Western longitude of domain."},
    {48, "Southern latitude of domain."},
    {49, "Eastern longitude of domain."},
    {50, "Operational forecast in cluster"},
    {51, "Control forecast in cluster"},
    {52, "Number of forecasts in cluster."},
};

void printDef2(const int *s)
{
    lines38(s, kDef2);
    for (int j = 0; j < s[52]; ++j) line38("Forecast number", s[53 + j]);
}

const Item kDef3[] = {
    {41, "Satellite spectral band."},
    {42, "Function code."},
};

// Ocean model data.
const Item kDef4Coordinates[] = {
    {43, "Fundamental spatial reference system."},
    {44, "Fundamental time reference."},
    {45, "Space unit flag."},
    {46, "Vertical coordinate definition."},
    {47, "Horizontal coordinate definition."},
    {48, "Time unit flag."},
    {49, "Time coordinate definition."},
};

const Item kDef4Position[] = {
    {50, "Mixed coordinate field flag."},
    {51, "Coordinate 1 flag."},
    {52, "Averaging flag."},
    {53, "Position of level 1."},
    {54, "Position of level 2."},
    {55, "Coordinate 2 flag."},
    {56, "Averaging flag."},
    {57, "Position of level 1."},
    {58, "Position of level 2."},
};

const Item kDef4Grid[] = {
    {59, "Coordinate 3 flag (x-axis)"},
    {60, "Coordinate 4 flag (y-axis)"},
    {61, "Coordinate 4 of first grid point."},
    {62, "Coordinate 3 of first grid point."},
    {63, "Coordinate 4 of last grid point."},
    {64, "Coordinate 3 of last grid point."},
    {65, "i - increment."},
    {66, "j - increment."},
    {67, "Flag for irregular grid coordinates."},
    {68, "Flag for normal or staggered grids."},
};

const Item kDef4Further[] = {
    {69, "Further information flag."},
};

const Item kDef4Auxiliary[] = {
    {70, "No. entries in horizontal coordinate"},
    {71, "No. entries in mixed coordinate defn."},
    {72, "No. entries in grid coordinate list."},
    {73, "No. entries in auxiliary array."},
};

void printOceanList(const char *heading, int count, const int *items)
{
    Print_(grprsm, "%s", heading);
    if (count == 0) {
        Print_(grprsm, "(None).\n");
        return;
    }
    Print_(grprsm, "Number of items = %d\n", count);
    for (int i = 0; i < count; ++i) Print_(grprsm, "         %12d\n", items[i]);
}

void printDef4(const int *s)
{
    line38("Satellite spectral band.", s[41]);
    if (s[kStream] != 1090) line38("Function code.", s[42]);
    Print_(grprsm, " Coordinate structure definition.\n");
    lines38(s, kDef4Coordinates);
    Print_(grprsm, " Position definition.     \n");
    lines38(s, kDef4Position);
    Print_(grprsm, " Grid Definition.\n");
    lines38(s, kDef4Grid);
    Print_(grprsm, " Further information.\n");
    lines38(s, kDef4Further);
    Print_(grprsm, " Auxiliary information.\n");
    lines38(s, kDef4Auxiliary);

    long at = 74;
    printOceanList(" Horizontal coordinate supplement.\n", s[70], s + at);
    at += extent(s[70]);
    printOceanList(" Mixed coordinate definition.\n", s[71], s + at);
    at += extent(s[71]);
    printOceanList(" Grid coordinate list. \n", s[72], s + at);
    at += extent(s[72]);
    printOceanList(" Auxiliary array.      \n", s[73], s + at);
    at += extent(s[73]);
    // The post-auxiliary count is its own first element.
    int post = s[at];
    Print_(grprsm, " Post-auxiliary array. \n");
    if (post == 0) {
        Print_(grprsm, "(None).\n");
        return;
    }
    Print_(grprsm, "Number of items = %d\n", post);
    for (long i = 1; i < post; ++i) Print_(grprsm, "         %12d\n", s[at + i]);
}

void printDef5(const int *s)
{
    line38("Forecast probability number", s[41]);
    Print_(grprsm, " Total number of forecast probabilities %7d\n", s[42]);
    line38("Threshold units decimal scale factor", s[43]);
    Print_(grprsm, " Threshold indicator(1=lower,2=upper,3=both) %2d\n", s[44]);
    if (s[44] != 2) line38("Lower threshold value", s[45]);
    if (s[44] != 1) line38("Upper threshold value", s[46]);
}

// Sea-surface temperature (6) and sst/ice (17) share their elements; only
// the texts differ.
struct SstTexts {
    const char *fieldNotGiven;
    const char *field;
    const char *type[3];
    const char *iceNotGiven;
};

const SstTexts kSst6 = {
    "Date of SST field used               Not given\n",
    "Date of SST field used",
    {"Type of SST field (= climatology)", "Type of SST field (= 1/1 degree)",
     "Type of SST field (= 2/2 degree)"},
    "Date of SST field used               Not given\n",
};

const SstTexts kSst17 = {
    " Date of sst/ice field used           Not given\n",
    "Date of sst/ice field used",
    {"Type of sst/ice field (= climatology)", "Type of sst/ice field (= 1/1 degree)",
     "Type of sst/ice field (= 2/2 degree)"},
    "Date of sst/ice field used           Not given\n",
};

// Dates of the 1900s may be held without their century.
long long fieldDate(int value) { return value >= 19000000 ? value : (long long)value + 19000000; }

void printSst(const int *s, const SstTexts &t)
{
    if (s[43] < 101)
        Print_(grprsm, "%s", t.fieldNotGiven);
    else
        line38(t.field, fieldDate(s[43]));
    if (s[44] >= 0 && s[44] <= 2) line38(t.type[s[44]], s[44]);
    line38("Number of ICE fields used:", s[45]);
    for (int i = 1; i <= s[45]; ++i) {
        int date = s[46 + 2 * (i - 1)];
        if (date < 101) {
            Print_(grprsm, "%s", t.iceNotGiven);
            continue;
        }
        Print_(grprsm, " Date of ICE field%3d                 %9lld\n", i, fieldDate(date));
        Print_(grprsm, " Satellite number (ICE field%3d)      %9d\n", i, s[47 + 2 * (i - 1)]);
    }
}

void printDef7(const int *s)
{
    line38(s[kType] == 51 ? "Forecast number" : "Iteration number", s[41]);
    line38(s[kType] == 52 ? "No.interations in diag. minimisation" : "Total number of diagnostics",
           s[42]);
    Print_(grprsm, " Domain(0=Global,1=Europe,2=N.Hem.,3=S.Hem.) %2d\n", s[43]);
    line38("Diagnostic number", s[44]);
}

void printDef8(const int *s)
{
    // Element 41 is octet 50 of the section; 42 to 53 are octets 51 to 62.
    int stream = s[kStream];
    if (stream == 1043 || stream == 1070 || stream == 1071)
        line38("Interval between reference times", s[41]);
    else
        Print_(grprsm, " QVA section 1 octet %2d.              %9d\n", 50, s[41]);
    for (int e = 42; e <= 53; ++e)
        Print_(grprsm, " QVA section 1 octet %2d.              %9d\n", e + 9, s[e]);
}

const Item kSimulation[] = {
    {41, "Simulation number."},
    {42, "Total number of simulations."},
};

const Item kDef9Singular[] = {
    {41, "Singular vector number"},
    {42, "Number of iterations"},
    {43, "Number of singular vectors computed"},
    {44, "Norm used at initial time"},
    {45, "Norm used at final time"},
    {46, "Multiplication factor"},
    {47, "Latitude of north-west corner"},
    {48, "Longitude of north-west corner"},
    {49, "Latitude of south-east corner"},
    {50, "Longitude of south-east corner"},
    {51, "Accuracy"},
    {52, "Number of singular vectors evolved"},
    {53, "Ritz number one"},
    {54, "Ritz number two"},
};

void printDef9(const int *s)
{
    switch (s[kType]) {
    case 60: line38("Perturbed ensemble forecast number", s[41]); break;
    case 61: line38("Initial state perturbation number", s[41]); break;
    case 62: lines38(s, kDef9Singular); break;
    default: break;
    }
}

const Item kDef10[] = {
    {41, "Tube number"},
    {42, "Total number of tubes"},
    {43, "Central cluster definition"},
    {44, "Parameter"},
    {45, "Type of level"},
    {46, "Northern latitude of domain of tubing"},
    {47, "Western longitude of domain of tubing"},
    {48, "Southern latitude of domain of tubing"},
    {49, "Eastern longitude of domain of tubing"},
    {50, "Tube number of operational forecast"},
    {51, "Tube number of control forecast"},
    {52, "Height/pressure of level"},
    {53, "Reference step"},
    {54, "Radius of central cluster"},
    {55, "Ensemble standard deviation"},
    {56, "Dist.of tube extreme to ensemble mean"},
    {57, "Number of forecasts in the tube"},
};

void printDef10(const int *s)
{
    lines38(s, kDef10);
    Print_(grprsm, " List of ensemble forecast numbers:\n");
    for (int j = 0; j < s[57]; ++j) Print_(grprsm, "    %9d\n", s[58 + j]);
}

const Item kDef11Analysis[] = {
    {41, "  Class"},
    {42, "  Type"},
    {43, "  Stream"},
};

const Item kDef11Time[] = {
    {46, "  Month"},
    {47, "  Day"},
    {48, "  Hour"},
    {49, "  Minute"},
    {50, "  Century"},
    {51, "  Originating centre"},
    {52, "  Sub-centre"},
};

void printDef11(const int *s)
{
    Print_(grprsm, " Details of analysis which used the supplementary data:\n");
    lines38(s, kDef11Analysis);
    // Element 44 is not shown; the year is held without its century.
    line38("  Year", (long long)s[45] + (s[45] < 51 ? 2000 : 1900));
    lines38(s, kDef11Time);
}

// Runs of equal adjacent intervals, one line per run.
void printIntervalRuns(const int *intervals, int n)
{
    for (int i = 0; i < n;) {
        int j = i + 1;
        while (j < n && intervals[j] == intervals[i]) ++j;
        unsigned run = (unsigned)(j - i);
        if (run == 1)
            Print_(grprsm, "  - interval %5.4d used       once\n", intervals[i]);
        else if (run == 2)
            Print_(grprsm, "  - interval %5.4d used       twice\n", intervals[i]);
        else
            Print_(grprsm, "  - interval %5.4d used %5u times\n", intervals[i], run);
        i = j;
    }
}

void printDef12(const int *s)
{
    Print_(grprsm, " (Mean, average, etc)\n");
    Print_(grprsm, " Start date of the period              %8d\n", s[41]);
    Print_(grprsm, " Start time of the period                  %4.4d\n", s[42]);
    Print_(grprsm, " Finish date of the period             %8d\n", s[43]);
    Print_(grprsm, " Finish time of the period                 %4.4d\n", s[44]);
    Print_(grprsm, " Verifying date of the period          %8d\n", s[45]);
    Print_(grprsm, " Verifying time of the period              %4.4d\n", s[46]);
    Print_(grprsm, " Code showing method                   %8d\n", s[47]);
    Print_(grprsm, " Number of different time intervals used  %5d\n", s[48]);
    Print_(grprsm, " List of different time intervals used:\n");
    printIntervalRuns(s + 49, s[48]);
}

// The scaled integers stand for single-precision values: the quotient is
// formed in single precision, so that it shows no digits they never had.
double quotient(int value, int scale) { return (double)((float)value / (float)scale); }

void printWaveList(const int *values, int count, int scale, int marked)
{
    for (int j = 1; j <= count; ++j) {
        double v = quotient(values[j - 1], scale);
        if (j == marked)
            Print_(grprsm, " %2.2d:%15.7f   <-- this field value\n", j, v);
        else
            Print_(grprsm, "%2.2d:%15.7f\n", j, v);
    }
}

const Item kDef13[] = {
    {43, "Direction number"},
    {44, "Frequency number"},
    {45, "Total number of directions"},
    {46, "Total number of frequencies"},
    {47, "Scale factor applied to directions"},
    {48, "Scale factor applied to frequencies"},
};

void printDef13(const int *s)
{
    lines38(s, kDef13);
    long ndir = extent(s[45]);
    long nfreq = extent(s[46]);
    Print_(grprsm, " List of directions:\n");
    printWaveList(s + 49, s[45], s[47], s[43]);
    Print_(grprsm, " List of frequencies:\n");
    printWaveList(s + 49 + ndir, s[46], s[48], s[44]);
    if (s[49 + ndir + nfreq] != 0) {
        line38("System number (65535 = missing)", s[49 + ndir + nfreq]);
        line38("Method number (65535 = missing)", s[50 + ndir + nfreq]);
    }
}

const Item kDef14[] = {
    {43, "Channel number"},
    {44, "Scale factor applied to frequencies"},
    {45, "Total number of frequencies"},
};

void printDef14(const int *s)
{
    lines38(s, kDef14);
    Print_(grprsm, " List of frequencies:\n");
    for (int j = 1; j <= s[45]; ++j) {
        double v = quotient(s[45 + j], s[44]);
        if (j == s[43])
            Print_(grprsm, " %3d:%15.9f   <-- this channel\n", j, v);
        else
            Print_(grprsm, " %3d:%15.9f\n", j, v);
    }
}

const Item kDef15[] = {
    {41, "Ensemble member number"},
    {42, "System number"},
    {43, "Method number"},
};

const Item kDef16[] = {
    {41, "Ensemble member number"},
    {43, "System number"},
    {44, "Method number"},
    {45, "Verifying month"},
    {46, "Averaging period"},
};

// Returns true when the definition ends the printout.
bool printTalvo(const int *s)
{
    const int def = s[36];
    line38("TALVO local usage identifier.", def);
    for (const Item &t : kTalvoTitles)
        if (t.element == def) Print_(grprsm, "%s", t.label);
    lines38(s, kTalvoCommon);
    printVersionText(s);

    switch (def) {
    case 1: printDef1(s); return true;
    case 2: printDef2(s); return true;
    case 3: lines38(s, kDef3); return true;
    case 4: printDef4(s); return true;
    case 5: printDef5(s); return true;
    case 8: printDef8(s); return true;
    case 6: printSst(s, kSst6); break;
    case 7: printDef7(s); break;
    default: break;
    }

    // Simulations come after definitions 6 and 7 and before 9 to 17.
    if (s[kType] >= 5 && s[kType] <= 8) lines38(s, kSimulation);

    switch (def) {
    case 9: printDef9(s); break;
    case 10: printDef10(s); break;
    case 11: printDef11(s); break;
    case 12: printDef12(s); break;
    case 13: printDef13(s); break;
    case 14: printDef14(s); break;
    case 15: lines38(s, kDef15); break;
    case 16: lines38(s, kDef16); break;
    case 17: printSst(s, kSst17); break;
    default: break;
    }
    return false;
}

// ===========================================================================
// QORB local extension (centre 252, definition 1)
// ===========================================================================

const Item kQorb[] = {
    {37, "Type of ensemble forecast"},
    {38, "Individual ensemble member"},
    {39, "Number of forecasts in ensemble"},
};

void printQorb(const int *s)
{
    line38("QORB local usage identifier.", 1);
    lines38(s, kQorb);
}

bool isDwdCentre(int centre) { return centre == 78 || centre == 215 || centre == 250; }

// ===========================================================================
// Section 2: representation type groups
// ===========================================================================

enum class Op {
    Value,          // value line of the element
    Text,           // fixed text
    Parallel,       // quasi-regular summary when element 16 is set, else Ni
    ParallelGauss,  // the same, the summary only from edition 1 on
    Increment,      // the "Not given" line when the element is negative
    IncrementGauss, // the i increment only when element 5 is 128
    Flags,          // resolution and component flags 17 + 5 + 18
    FlagsPolar,     // the same without element 5
    Scanning,       // scanning mode flags of element 10
};

struct GridLine {
    Op op;
    int element;
    const char *label;    // the whole line for Text
    const char *notGiven; // the whole line for an increment not given
};

const char kSigns[] = " (Southern latitudes and Western longitudes are negative.)\n";
const char kINotGiven[] = " i direction (East-West) increment            Not given\n";
const char kJNotGiven[] = " j direction (North-South) increment          Not given\n";

const GridLine kLatLon[] = {
    {Op::Text, 0, kSigns, nullptr},
    {Op::Value, 0, "Data represent type = lat/long     (Table 6)", nullptr},
    {Op::Parallel, 1, "Number of points along a parallel.", nullptr},
    {Op::Value, 2, "Number of points along a meridian.", nullptr},
    {Op::Value, 3, "Latitude of first grid point.", nullptr},
    {Op::Value, 4, "Longitude of first grid point.", nullptr},
    {Op::Flags, 0, nullptr, nullptr},
    {Op::Value, 6, "Latitude of last grid point.", nullptr},
    {Op::Value, 7, "Longitude of last grid point.", nullptr},
    {Op::Increment, 8, "i direction (East-West) increment.", kINotGiven},
    {Op::Increment, 9, "j direction (North-South) increment.", kJNotGiven},
    {Op::Scanning, 0, nullptr, nullptr},
    {Op::Value, 11, "Number of vertical coordinate parameters.", nullptr},
};

const GridLine kGaussian[] = {
    {Op::Text, 0, kSigns, nullptr},
    {Op::Value, 0, "Data represent type = gaussian     (Table 6)", nullptr},
    {Op::ParallelGauss, 1, "Number of points along a parallel.", nullptr},
    {Op::Value, 2, "Number of points along a meridian.", nullptr},
    {Op::Value, 3, "Latitude of first grid point.", nullptr},
    {Op::Value, 4, "Longitude of first grid point.", nullptr},
    {Op::Flags, 0, nullptr, nullptr},
    {Op::Value, 6, "Latitude of last grid point.", nullptr},
    {Op::Value, 7, "Longitude of last grid point.", nullptr},
    {Op::IncrementGauss, 8, "i direction (East-West) increment.", kINotGiven},
    {Op::Value, 9, "Number of parallels between pole and equator.", nullptr},
    {Op::Scanning, 0, nullptr, nullptr},
    {Op::Value, 11, "Number of vertical coordinate parameters.", nullptr},
};

const GridLine kSpectral[] = {
    {Op::Value, 0, "Data represent type = spectral     (Table 6)", nullptr},
    {Op::Value, 1, "J - Pentagonal resolution parameter.", nullptr},
    {Op::Value, 2, "K - Pentagonal resolution parameter.", nullptr},
    {Op::Value, 3, "M - Pentagonal resolution parameter.", nullptr},
    {Op::Value, 4, "Representation type (Table 9)", nullptr},
    {Op::Value, 5, "Representation mode (Table 10).", nullptr},
    {Op::Value, 6, "Not used.", nullptr},
    {Op::Value, 7, "Not used.", nullptr},
    {Op::Value, 8, "Not used.", nullptr},
    {Op::Value, 9, "Not used.", nullptr},
    {Op::Value, 10, "Not used.", nullptr},
    {Op::Value, 11, "Number of vertical coordinate parameters.", nullptr},
};

const GridLine kLambert[] = {
    {Op::Text, 0, kSigns, nullptr},
    {Op::Value, 0, "Data represent type = Lambert      (Table 6)", nullptr},
    {Op::Value, 1, "Number of points along X axis.", nullptr},
    {Op::Value, 2, "Number of points along Y axis.", nullptr},
    {Op::Value, 3, "Latitude of first grid point.", nullptr},
    {Op::Value, 4, "Longitude of first grid point.", nullptr},
    {Op::Flags, 0, nullptr, nullptr},
    {Op::Value, 6, "Orientation of the grid.", nullptr},
    {Op::Value, 8, "X direction increment.", nullptr},
    {Op::Value, 9, "Y direction increment.", nullptr},
    {Op::Scanning, 0, nullptr, nullptr},
    {Op::Value, 11, "Number of vertical coordinate parameters.", nullptr},
    {Op::Value, 12, "Projection centre flag.", nullptr},
    {Op::Value, 13, "Latitude intersection 1 - Latin 1 -.", nullptr},
    {Op::Value, 14, "Latitude intersection 2 - Latin 2 -.", nullptr},
    {Op::Value, 19, "Latitude of Southern Pole.", nullptr},
    {Op::Value, 20, "Longitude of Southern Pole.", nullptr},
};

const GridLine kPolar[] = {
    {Op::Text, 0, kSigns, nullptr},
    {Op::Value, 0, "Data represent type = polar stereo (Table 6)", nullptr},
    {Op::Value, 1, "Number of points along X axis.", nullptr},
    {Op::Value, 2, "Number of points along Y axis.", nullptr},
    {Op::Value, 3, "Latitude of first grid point.", nullptr},
    {Op::Value, 4, "Longitude of first grid point.", nullptr},
    {Op::FlagsPolar, 0, nullptr, nullptr},
    {Op::Value, 6, "Orientation of the grid.", nullptr},
    {Op::Value, 8, "X direction increment.", nullptr},
    {Op::Value, 9, "Y direction increment.", nullptr},
    {Op::Scanning, 0, nullptr, nullptr},
    {Op::Value, 11, "Number of vertical coordinate parameters.", nullptr},
    {Op::Value, 12, "Projection centre flag.", nullptr},
};

const GridLine kSpaceView[] = {
    {Op::Text, 0, kSigns, nullptr},
    {Op::Value, 0, "Data represent type = space/ortho  (Table 6)", nullptr},
    {Op::Value, 1, "Number of points along X axis.", nullptr},
    {Op::Value, 2, "Number of points along Y axis.", nullptr},
    {Op::Value, 3, "Latitude of sub-satellite point.", nullptr},
    {Op::Value, 4, "Longitude of sub-satellite point.", nullptr},
    {Op::Value, 6, "Diameter of the earth in x direction.", nullptr},
    {Op::Value, 9, "Y coordinate of sub-satellite point.", nullptr},
    {Op::Scanning, 0, nullptr, nullptr},
    {Op::Value, 11, "Number of vertical coordinate parameters.", nullptr},
    {Op::Value, 6, "Orientation of the grid.", nullptr},
    {Op::Value, 13, "Altitude of the camera.", nullptr},
    {Op::Value, 14, "Y coordinate of origin of sector image.", nullptr},
    {Op::Value, 15, "X coordinate of origin of sector image.", nullptr},
};

const GridLine kTriangular[] = {
    {Op::Value, 0, "Data represent type = triangular   (Table 6)", nullptr},
    {Op::Value, 1, "Number of factor 2 in factorisation of Ni.", nullptr},
    {Op::Value, 2, "Number of factor 3 in factorisation of Ni.", nullptr},
    {Op::Value, 3, "Number of diamonds (Nd).", nullptr},
    {Op::Text, 0, " Number of triangular subdivisions of the\n", nullptr},
    // The continuation line is a value line whose label is indented.
    {Op::Value, 4, "          icosahedron (Ni).", nullptr},
    {Op::Value, 5, "Flag for orientation of diamonds (Table A).", nullptr},
    {Op::Value, 6, "Latitude of pole point.", nullptr},
    {Op::Value, 7, "Longitude of pole point.", nullptr},
    {Op::Value, 8, "Longitude of the first diamond.", nullptr},
    {Op::Value, 9, "Flag for storage sequence (Table B).", nullptr},
    {Op::Value, 11, "Number of vertical coordinate parameters.", nullptr},
};

struct GridGroup {
    int types[4];
    const GridLine *lines;
    size_t count;
};

template <size_t N> constexpr GridGroup group(int a, int b, int c, int d, const GridLine (&lines)[N])
{
    return {{a, b, c, d}, lines, N};
}

const GridGroup kGroups[] = {
    group(0, 10, 20, 30, kLatLon),      group(4, 14, 24, 34, kGaussian),
    group(50, 60, 70, 80, kSpectral),   group(3, 3, 3, 3, kLambert),
    group(5, 5, 5, 5, kPolar),          group(90, 90, 90, 90, kSpaceView),
    group(192, 192, 192, 192, kTriangular),
};

const GridGroup *findGroup(int type)
{
    for (const GridGroup &g : kGroups)
        for (int t : g.types)
            if (t == type) return &g;
    return nullptr;
}

bool isRotated(int type)
{
    return type == 10 || type == 14 || type == 30 || type == 34 || type == 60 || type == 80;
}

bool isStretched(int type)
{
    return type == 20 || type == 24 || type == 30 || type == 34 || type == 70 || type == 80;
}

// Quasi-regular summary: one line per run of parallels with equal counts.
void printQuasi(const int *isec2)
{
    Print_(grprsm, "  Number of points along a parallel varies.\n");
    Print_(grprsm, "  Number of points.   Parallel. %s\n",
            fmod((double)isec2[10], 128.0) < 64 ? "(North to South)" : "(South to North)");
    const int n = isec2[2];
    const int *points = isec2 + 22;
    for (int i = 0; i < n;) {
        int j = i + 1;
        while (j < n && points[j] == points[i]) ++j;
        // Room for parallel numbers of five digits too, so none is cut.
        char text[32];
        if (j - i > 1)
            snprintf(text, sizeof text, "%4dto %5d", i + 1, j);
        else
            snprintf(text, sizeof text, "%4d", i + 1);
        Print_(grprsm, " %5d                %-12s\n", points[i], text);
        i = j;
    }
}

int flagSum(const int *isec2, bool withElement5)
{
    // Summed modulo 2^32: the sum is only shown as its low bits.
    unsigned sum = (unsigned)isec2[17] + (unsigned)isec2[18];
    if (withElement5) sum += (unsigned)isec2[5];
    return (int)sum;
}

void printGridLine(const GridLine &l, int edition, const int *isec2)
{
    const int value = isec2[l.element];
    switch (l.op) {
    case Op::Value: line46(l.label, value); break;
    case Op::Text: Print_(grprsm, "%s", l.label); break;
    case Op::Parallel:
        if (isec2[16])
            printQuasi(isec2);
        else
            line46(l.label, value);
        break;
    case Op::ParallelGauss:
        if (isec2[16] && edition > 0)
            printQuasi(isec2);
        else
            line46(l.label, value);
        break;
    case Op::Increment:
        if (value < 0)
            Print_(grprsm, "%s", l.notGiven);
        else
            line46(l.label, value);
        break;
    case Op::IncrementGauss:
        if (isec2[5] == 128)
            line46(l.label, value);
        else
            Print_(grprsm, "%s", l.notGiven);
        break;
    case Op::Flags:
    case Op::FlagsPolar:
        Print_(grprsm, " Resolution and components flag.               %8.8d\n",
                binaryDigits(flagSum(isec2, l.op == Op::Flags)));
        break;
    case Op::Scanning:
        Print_(grprsm, " Scanning mode flags (Code Table 8)            %8.8d\n",
                binaryDigits(isec2[10]));
        break;
    }
}

// ===========================================================================
// Section 4
// ===========================================================================

const Item kSec4Head[] = {
    {0, "Number of data values coded/decoded."},
    {1, "Number of bits per data value."},
    {2, "Type of data       (0=grid pt, 128=spectral)."},
    {3, "Type of packing    (0=simple, 64=complex)."},
    {4, "Type of data       (0=float, 32=integer)."},
    {5, "Additional flags   (0=none, 16=present)."},
    {6, "Reserved."},
    {7, "Number of values   (0=single, 64=matrix)."},
    {8, "Secondary bit-maps (0=none, 32=present)."},
    {9, "Values width       (0=constant, 16=variable)."},
};

const Item kSec4Spectral[] = {
    {15, "Byte offset of start of packed data (N)."},
    {16, "Power (P * 1000)."},
    {17, "Pentagonal resolution parameter J for subset."},
    {18, "Pentagonal resolution parameter K for subset."},
    {19, "Pentagonal resolution parameter M for subset."},
};

const Item kSec4SecondOrder[] = {
    {10, "Bits number of 2nd order values    (none=>0)."},
    {11, "General extend. 2-order packing (0=no,8=yes)."},
    {12, "Boustrophedonic ordering        (0=no,4=yes)."},
};

const Item kSec4Matrix[] = {
    {49, "First dimension (rows) of each matrix."},
    {50, "Second dimension (columns) of each matrix."},
    {51, "First dimension coordinate values definition."},
};

void printMatrix(const int *isec4)
{
    lines46(isec4, kSec4Matrix);
    Print_(grprsm, " (Code Table 12)\n");
    Print_(grprsm, " NC1 - Number of coefficients for 1st dimension.%7d\n", isec4[52]);
    Print_(grprsm, " Second dimension coordinate values definition.%8d\n", isec4[53]);
    Print_(grprsm, " (Code Table 12)\n");
    Print_(grprsm, " NC2 - Number of coefficients for 2nd dimension.%7d\n", isec4[54]);
    Print_(grprsm, " 1st dimension physical signifance (Table 13). %8d\n", isec4[55]);
    Print_(grprsm, " 2nd dimension physical signifance (Table 13).%8d\n", isec4[56]);
}

// Values shown: at most 20, of the magnitude of the count.
int valuesShown(int count)
{
    long magnitude = labs((long)count);
    return magnitude < 20 ? (int)magnitude : 20;
}

void printValue(double v)
{
    double magnitude = fabs(v);
    if (v == 0.0 || std::isnan(v))
        Print_(grprsm, " %#16.0f    \n", magnitude);
    else if (magnitude >= 0.1 && magnitude <= 100000000.0)
        Print_(grprsm, " %#16.8G    \n", v);
    else
        Print_(grprsm, " %#20.8E\n", v);
}

void printCoefficients(const int *bits, int count)
{
    for (int i = 0; i < count; ++i) {
        float f;
        memcpy(&f, &bits[i], sizeof f);
        Print_(grprsm, "%20.10f\n", (double)f);
    }
}

} // namespace

extern "C" {

void gribPrintSec0(const int *isec0)
{
    grsdef();
    Print_(grprsm, " \n");
    Print_(grprsm, " Section 0 - Indicator Section.       \n");
    Print_(grprsm, " -------------------------------------\n");
    line38("Length of GRIB message (octets).", isec0[0]);
    line38("GRIB Edition Number.", isec0[1]);
}

void gribPrintSec1(const int *isec0, const int *isec1)
{
    grsdef();
    Print_(grprsm, " \n");
    Print_(grprsm, " Section 1 - Product Definition Section.\n");
    Print_(grprsm, " ---------------------------------------\n");
    lines38(isec1, kSec1Head);
    Print_(grprsm, " Flag (Code Table 1)                   %8.8d\n", binaryDigits(isec1[4]));
    line38("Parameter identifier (Code Table 2).", isec1[5]);
    if (isec1[5] == 127)
        lines38(isec1, kSec1Satellite);
    else
        lines38(isec1, kSec1Level);

    if (isec1[9] == 255) {
        Print_(grprsm, " Year of reference time of data MISSING  (=255)\n");
    } else {
        int date = 0, time = 0;
        gribDateTime(isec1, &date, &time);
        Print_(grprsm, " Year of reference time of data.      %9d  (%4d)\n", isec1[9], date / 10000);
    }
    lines38(isec1, kSec1Time);

    const int centre = isec1[1];
    // Edition 0 has no century octet, except in the records of centre 98.
    if (isec0[1] > 0 || centre == 98)
        line38("Century of reference time of data.", isec1[20]);
    else
        Print_(grprsm, " Century of reference time of data.   Not given\n");
    lines38(isec1, kSec1Tail);

    const int subCentre = isec1[21];
    const int localFlag = isec1[23];
    const int def = isec1[36];
    if (isDwdCentre(centre) && (def == 253 || def == 254)) printDwd(isec1);
    bool talvo = (centre == 98 && localFlag == 1) ||
                 (subCentre == 98 && (centre == 7 || localFlag == 1));
    if (talvo && printTalvo(isec1)) return;
    if (centre == 252 && def == 1) printQorb(isec1);
}

void gribPrintSec2DP(const int *isec0, const int *isec2, const double *fsec2)
{
    grsdef();
    Print_(grprsm, " \n");
    Print_(grprsm, " Section 2 - Grid Description Section.\n");
    Print_(grprsm, " -------------------------------------\n");

    const int type = isec2[0];
    const int edition = isec0[1];
    const GridGroup *g = findGroup(type);
    if (!g) {
        Print_(grprsm, "GRPRS2 :Data representation type not catered for -%d\n", type);
        return;
    }
    for (size_t i = 0; i < g->count; ++i) printGridLine(g->lines[i], edition, isec2);

    const int nv = isec2[11];
    if (nv != 0) {
        Print_(grprsm, " \n");
        Print_(grprsm, " Vertical Coordinate Parameters.\n");
        Print_(grprsm, " -------------------------------\n");
        for (int i = 0; i < nv; ++i) Print_(grprsm, "    %20.12f\n", fsec2[10 + i]);
    }

    // Edition 0 has no rotation or stretching.
    if (edition < 1) return;
    if (isRotated(type)) {
        Print_(grprsm, " \n");
        line46("Latitude of southern pole of rotation.", isec2[12]);
        line46("Longitude of southern pole of rotation.", isec2[13]);
        Print_(grprsm, " Angle of rotation.                     %20.10f\n", fsec2[0]);
    }
    if (isStretched(type)) {
        Print_(grprsm, " \n");
        line46("Latitude of pole of stretching.", isec2[14]);
        line46("Longitude of pole of stretching.", isec2[15]);
        Print_(grprsm, " Stretching factor.                     %20.10f\n", fsec2[1]);
    }
}

void gribPrintSec2SP(const int *isec0, const int *isec2, const float *fsec2)
{
    // Room for the ten fixed parameters and the vertical coordinates; a
    // negative count has none. Only the elements that the printout reads are
    // taken from the caller's array, which need be no longer than that.
    const int nv = isec2[11];
    const size_t nvert = nv > 0 ? (size_t)nv : 0;
    const size_t size = (10 + nvert) * sizeof(double);
    double *block = (double *)memAlloc(size);
    if (!block) SysError_("gribPrintSec2SP", "No Memory!");
    memset(block, 0, size);

    const int type = isec2[0];
    if (isec0[1] >= 1 && isRotated(type)) block[0] = fsec2[0];
    if (isec0[1] >= 1 && isStretched(type)) block[1] = fsec2[1];
    if (findGroup(type))
        for (size_t i = 0; i < nvert; ++i) block[10 + i] = fsec2[10 + i];

    gribPrintSec2DP(isec0, isec2, block);
    memRelease(block);
}

void gribPrintSec3DP(const int *isec0, const int *isec3, const double *fsec3)
{
    (void)isec0; // the edition plays no part in this printout
    grsdef();
    Print_(grprsm, " \n");
    Print_(grprsm, " Section 3 - Bit-map Section.\n");
    Print_(grprsm, " -------------------------------------\n");
    if (isec3[0] != 0)
        line46("Predetermined bit-map number.", isec3[0]);
    else
        Print_(grprsm, " No predetermined bit-map.\n");
    Print_(grprsm, " Missing data value for integer data.    %14d\n", isec3[1]);
    Print_(grprsm, " Missing data value for real data. %20.6g\n", fsec3[1]);
}

void gribPrintSec3SP(const int *isec0, const int *isec3, const float *fsec3)
{
    const double block[2] = {fsec3[0], fsec3[1]};
    gribPrintSec3DP(isec0, isec3, block);
}

void gribPrintSec4DP(const int *isec0, const int *isec4, const double *fsec4)
{
    (void)isec0; // the edition plays no part in this printout
    grsdef();
    Print_(grprsm, " \n");
    Print_(grprsm, " Section 4 - Binary Data  Section.\n");
    Print_(grprsm, " -------------------------------------\n");
    lines46(isec4, kSec4Head);

    if (isec4[3] == 64) {
        if (isec4[2] == 128) {
            lines46(isec4, kSec4Spectral);
        } else {
            lines46(isec4, kSec4SecondOrder);
            line46("Spatial differencing order          (0=none).",
                   (long long)isec4[13] + isec4[14]);
        }
    }
    if (isec4[20] != 0) line46("Number of non-missing values", isec4[20]);
    if (isec4[7] == 64) printMatrix(isec4);

    const int k = valuesShown(isec4[0]);
    Print_(grprsm, " \n");
    Print_(grprsm, " First %4d data values.\n", k);
    if (isec4[4] != 0) {
        Print_(grprsm, " Print of integer values not supported\n");
        return;
    }
    if (isec4[0] == 0) return;
    for (int i = 0; i < k; ++i) printValue(fsec4[i]);
}

void gribPrintSec4SP(const int *isec0, const int *isec4, const float *fsec4)
{
    double values[21];
    const int k = isec4[0] != 0 ? valuesShown(isec4[0]) : 0;
    for (int i = 0; i < k; ++i) values[i] = fsec4[i];
    gribPrintSec4DP(isec0, isec4, values);
}

void gribPrintSec4Wave(const int *isec4)
{
    grsdef();
    Print_(grprsm, " Coefficients defining first dimension coordinates:\n");
    printCoefficients(isec4 + 59, isec4[52]);
    Print_(grprsm, " Coefficients defining second dimension coordinates:\n");
    printCoefficients(isec4 + 59 + extent(isec4[52]), isec4[54]);
}

} // extern "C"
