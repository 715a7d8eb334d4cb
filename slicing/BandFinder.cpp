// The band table and the band search.
#include "slicing/BandFinder.h"

#include <cmath>
#include <cstdio>
#include <numbers>
#include <vector>

#include "core/VQErrorReporting.h"

namespace vq::bands {
namespace {

// Preferred numbers of one decade in hundredths, so that every nominal value
// is an exact integer count of hundredths of a hertz before the one division
// that turns it into a double.
constexpr int kR10[] = {100, 125, 160, 200, 250, 315, 400, 500, 630, 800};
constexpr int kR40[] = {100, 106, 112, 118, 125, 132, 140, 150, 160, 170, 180, 190, 200, 212,
                        224, 236, 250, 265, 280, 300, 315, 335, 355, 375, 400, 425, 450, 475,
                        500, 530, 560, 600, 630, 670, 710, 750, 800, 850, 900, 950};
constexpr int kR80[] = {100, 103, 106, 109, 112, 115, 118, 122, 125, 128, 132, 136, 140, 145, 150, 155,
                        160, 165, 170, 175, 180, 185, 190, 195, 200, 206, 212, 218, 224, 230, 236, 243,
                        250, 258, 265, 272, 280, 290, 300, 307, 315, 325, 335, 345, 355, 365, 375, 387,
                        400, 412, 425, 437, 450, 462, 475, 487, 500, 515, 530, 545, 560, 580, 600, 615,
                        630, 650, 670, 690, 710, 730, 750, 775, 800, 825, 850, 875, 900, 925, 950, 975};
// Octave bands: 1 Hz .. 125 kHz, in hundredths of a hertz.
constexpr long long kOctaves[] = {100,     200,     400,     800,     1600,    3150,
                                  6300,    12500,   25000,   50000,   100000,  200000,
                                  400000,  800000,  1600000, 3150000, 6300000, 12500000};

constexpr BandSeries kSeries[] = {
    {1, 0.3, 18, 0},
    {3, 0.1, 52, 0},
    {12, 0.025, 205, 0},
    {24, 0.0125, 409, 0},
};

struct Nominals {
  std::vector<double> Values;
  std::vector<std::string> Labels;
};

std::string LabelOf(long long hundredths) {
  char text[32];
  if (hundredths < 100000) {
    std::snprintf(text, sizeof text, "%g Hz", static_cast<double>(hundredths) / 100.0);
  } else {
    std::snprintf(text, sizeof text, "%g kHz", static_cast<double>(hundredths) / 100000.0);
  }
  return text;
}

Nominals BuildNominals(const BandSeries& series) {
  Nominals n;
  for (LONG i = 0; i < series.Count; ++i) {
    long long hundredths = 0;
    if (series.Fraction == 1) {
      hundredths = kOctaves[i];
    } else {
      const int* decade = series.Fraction == 3 ? kR10 : series.Fraction == 12 ? kR40 : kR80;
      const LONG perDecade = series.Fraction * 10 / 3;
      hundredths = decade[i % perDecade];
      for (LONG d = 0; d < i / perDecade; ++d) hundredths *= 10;
    }
    n.Values.push_back(static_cast<double>(hundredths) / 100.0);
    n.Labels.push_back(LabelOf(hundredths));
  }
  return n;
}

const Nominals& NominalsOf(const BandSeries& series) {
  static const Nominals all[] = {BuildNominals(kSeries[0]), BuildNominals(kSeries[1]), BuildNominals(kSeries[2]),
                                 BuildNominals(kSeries[3])};
  return all[&series - kSeries];
}

const BandSeries& SeriesOrFail(LONG fraction) {
  const BandSeries* series = FindSeries(fraction);
  if (series == nullptr) vq::ThrowIfFailed(E_FAIL);
  return *series;
}

// exp(ln 10 * ((n + half) * k)): n + half is exact, so the upper edge of band
// n and the lower edge of band n + 1 are the same number.
double Edge(const BandSeries& series, LONG band, double half) {
  return std::exp(std::numbers::ln10 * ((static_cast<double>(band) + half) * series.Step));
}

}  // namespace

double BandSeries::NominalFrequency(LONG band) const {
  const LONG i = band - FirstBand;
  if (i < 0 || i >= Count) return 0.0;
  return NominalsOf(*this).Values[static_cast<size_t>(i)];
}

const std::string& BandSeries::Label(LONG band) const {
  static const std::string empty;
  const LONG i = band - FirstBand;
  if (i < 0 || i >= Count) return empty;
  return NominalsOf(*this).Labels[static_cast<size_t>(i)];
}

const BandSeries* FindSeries(LONG fraction) {
  for (const BandSeries& series : kSeries) {
    if (series.Fraction == fraction) return &series;
  }
  return nullptr;
}

double BandLowerEdge(LONG fraction, LONG band) { return Edge(SeriesOrFail(fraction), band, -0.5); }

double BandUpperEdge(LONG fraction, LONG band) { return Edge(SeriesOrFail(fraction), band, 0.5); }

LONG FindBand(LONG fraction, double frequency) {
  const BandSeries& series = SeriesOrFail(fraction);
  const LONG first = series.FirstBand;
  const LONG count = series.Count;
  // The accepted range ends one band above the table: the margin between the
  // last band's upper edge and it answers -1, not an error.
  const double lo = Edge(series, first, -0.5);
  const double hi = Edge(series, first + count, 0.5);
  if (!(lo <= frequency && frequency <= hi)) vq::ThrowIfFailed(E_FAIL);
  // The first band of the table is not searched (RowBandOf places a
  // frequency there).
  for (LONG i = 1; i < count; ++i) {
    const LONG n = first + i;
    if (Edge(series, n, -0.5) <= frequency && frequency < Edge(series, n, 0.5)) return n;
  }
  return kNoBand;
}

std::optional<LONG> RowBandOf(LONG fraction, double frequency) {
  const LONG band = FindBand(fraction, frequency);
  if (band != kNoBand) return band;
  const BandSeries& series = SeriesOrFail(fraction);
  // Not found: below the second band (so in the first, FindBand has checked
  // the lower limit) or in the margin above the last.
  if (frequency < Edge(series, series.FirstBand + 1, -0.5)) return series.FirstBand;
  return std::nullopt;
}

}  // namespace vq::bands
