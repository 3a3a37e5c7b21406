/*
 * Grid descriptions of both editions (GRIB1 grid description section, GRIB2
 * grid definition section) read into one form, and the latitude and
 * longitude of every point of the grids that have a layout. Internal, not
 * installed; C++ only. Nothing here keeps state or prints: safe from several
 * threads at once.
 */
#ifndef VALMORA_GRIBGRID_H
#define VALMORA_GRIBGRID_H

#include "valmora.h"

#include <cstddef>
#include <cstdint>

namespace grid {

// The layouts that coordinates are computed for; kOther has keys only.
enum Kind { kOther = 0, kLatLon, kGaussian, kPolarStereographic, kLambert, kMercator };

// Scanning-mode flags, the same bits in both editions.
constexpr unsigned kScanINegative = 0x80;
constexpr unsigned kScanJPositive = 0x40;
constexpr unsigned kScanJConsecutive = 0x20;
constexpr unsigned kScanAlternateRows = 0x10;

// One grid in degrees and metres, whichever edition it came from.
struct Desc {
    int edition = 0;
    int templateNumber = -1; // GRIB1 data representation type or GRIB2 grid template
    Kind kind = kOther;
    bool rotated = false;
    bool angular = false;      // a latitude/longitude or Gaussian template (first, last, increments in degrees)
    long ni = 0, nj = 0;       // points along a parallel (0 for a reduced grid) and a meridian
    long points = 0;           // points of the grid (sum of the row counts when reduced)
    long gaussianN = 0;        // Gaussian grids: parallels between a pole and the equator
    double lat1 = 0, lon1 = 0, lat2 = 0, lon2 = 0; // first and last points, degrees
    double di = 0, dj = 0;     // increments: degrees, or metres for projections
    bool diGiven = false, djGiven = false;
    unsigned scan = 0;         // scanning mode octet
    unsigned resolution = 0;   // resolution and component flags octet
    double latD = 0;           // latitude where Dx, Dy (or Di, Dj) hold
    double lov = 0;            // orientation: the meridian parallel to the y axis
    double latin1 = 0, latin2 = 0; // Lambert secant latitudes
    unsigned projectionCentre = 0; // bit 0x80: south pole on the plane
    double southPoleLat = 0, southPoleLon = 0, rotationAngle = 0;
    double radius = 0, majorAxis = 0, minorAxis = 0; // metres; axes 0 for a sphere
    int earthShape = -1;       // GRIB2 code; GRIB1: 0 sphere, 2 oblate
    // The row counts of a reduced grid: rows of plOctets octets each, nj of
    // them, in the record.
    const unsigned char *pl = nullptr;
    unsigned plOctets = 0;
};

// Results besides 0.
enum {
    kDamaged = 1,    // the description contradicts its length or itself
    kNoLayout = 2,   // a grid without coordinates here (keys are set)
    kNoMemory = 3,   // scratch memory could not be had
};

// Gaussian grids finer than this have no coordinates here: the cost of the
// latitudes grows with the square of N, and no grid in use comes near it.
constexpr long kGaussianMaxN = 16384;

// Reads a GRIB1 grid description section (gdsLength octets at gds).
int describe1(const unsigned char *gds, size_t gdsLength, Desc &d);
// Reads a GRIB2 grid definition section (sec3Length octets at sec3).
int describe2(const unsigned char *sec3, size_t sec3Length, Desc &d);

// Latitudes and longitudes of every point in the order of the values,
// d.points of each; either array may be null.
int latLons(const Desc &d, double *lats, double *lons);

// The 2n Gaussian latitudes, north to south, in degrees.
void gaussianLatitudes(long n, double *lats);

} // namespace grid

// The grid members of `field` from a GRIB1 grid description section (gds,
// gdsLength octets) or a GRIB2 grid definition section (sec3, sec3Length
// octets); every other member is left as it is. plOffset counts from
// "GRIB" when field->sectionOffset of the section (2 for GRIB1, 3 for
// GRIB2) is set before the call, else from the section's first octet.
// Result: VALMORA_DECODE_OK (also for a grid without coordinates here:
// its keys as far as the struct holds them) or VALMORA_DECODE_DAMAGED (a
// section shorter than its template, row counts beyond it, or a GRIB2
// number of points that the grid contradicts); the grid members are then
// as far as they could be read. Reads nothing outside the section, prints
// nothing.
int gribGridKeys1(const unsigned char *gds, size_t gdsLength, gribField *field);
int gribGridKeys2(const unsigned char *sec3, size_t sec3Length, gribField *field);

#endif /* VALMORA_GRIBGRID_H */
