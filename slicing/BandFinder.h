// BandFinder.h - the fractional-octave band series behind band x-axes.
//
// Band n of the 1/b-octave series is centred on 10^(k*n) Hz with k = 0.3/b
// (base-10 series, one octave = 10^0.3); its edges are 10^(k*(n -+ 0.5)).
// The component knows four series (b = 1, 3, 12, 24), each a row of a
// constant table running from band 0 (1 Hz) to the band centred on
// 10^5.1 Hz, with a nominal centre frequency and a display label per band.
// The slices turn a frequency range into band numbers with FindBand.
//
// Everything here is constant data and pure arithmetic: no state, no lock,
// callable from any thread. The table rows live for the whole process.
#pragma once

#include <optional>
#include <string>

#include "VQPlatform.h"

namespace vq::bands {

// One row of the band table. Bands run FirstBand .. FirstBand + Count - 1.
struct BandSeries {
  LONG Fraction;   // b of the 1/b-octave series
  double Step;     // exponent step k = 0.3 / b
  LONG Count;      // bands in the table
  LONG FirstBand;  // number of the table's first band
  // Nominal (preferred-number) centre frequency in Hz of band number `band`,
  // or 0 when the band is outside the row.
  double NominalFrequency(LONG band) const;
  // Display label of band number `band` ("31.5 Hz", "12.5 kHz"), or an empty
  // text when the band is outside the row.
  const std::string& Label(LONG band) const;
};

// The row of a fraction, or null for fractions without one (other than 1, 3,
// 12 and 24).
const BandSeries* FindSeries(LONG fraction);

// Lower and upper edge in Hz of band `band` of the 1/fraction series. An
// unknown fraction raises E_FAIL as a component error.
double BandLowerEdge(LONG fraction, LONG band);
double BandUpperEdge(LONG fraction, LONG band);

// FindBand's answer when it finds no band. It is not a band number: band
// axes may start below band 0, so -1 can also be a real band of an axis.
constexpr LONG kNoBand = -1;

// The number of the band of the fraction's row that contains `frequency`
// (a frequency on an edge belongs to the upper band); kNoBand when the row's
// first band or the margin above its last band holds it. A frequency below
// the lower edge of the first band or above the upper edge of the band after
// the last, a NaN, or an unknown fraction raises E_FAIL as a component error.
LONG FindBand(LONG fraction, double frequency);

// FindBand with the row's first band searched too: the band that contains
// `frequency`, or nothing when it lies in the margin above the row's last
// band. Raises as FindBand.
std::optional<LONG> RowBandOf(LONG fraction, double frequency);

}  // namespace vq::bands
