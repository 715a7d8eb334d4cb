// The band finder: the table's searches at known frequencies, its edges and
// margins, the constant nominal values and labels, and refused fractions.
#include <gtest/gtest.h>

#include <cmath>

#include "slicing/BandFinder.h"

namespace vq::bands {
namespace {

HRESULT RaisedBy(LONG fraction, double frequency) {
  try {
    FindBand(fraction, frequency);
  } catch (const _com_error& e) {
    return e.Error();
  }
  return S_OK;
}

TEST(BandFinder, FindsTheBandsOfOneKilohertzInEverySeries) {
  EXPECT_EQ(FindBand(3, 1000.0), 30);
  EXPECT_EQ(FindBand(1, 1000.0), 10);
  EXPECT_EQ(FindBand(12, 1000.0), 120);
  EXPECT_EQ(FindBand(24, 1000.0), 240);
  EXPECT_EQ(FindBand(3, 20.0), 13);
  EXPECT_EQ(FindBand(3, 125000.0), 51);
  EXPECT_EQ(FindBand(1, 1.5), 1);
}

TEST(BandFinder, EdgesTileTheAxisAndAnEdgeBelongsToTheUpperBand) {
  for (LONG fraction : {1, 3, 12, 24}) {
    const BandSeries* series = FindSeries(fraction);
    ASSERT_NE(series, nullptr);
    for (LONG n = 1; n < series->Count; ++n) {
      ASSERT_EQ(BandUpperEdge(fraction, n - 1), BandLowerEdge(fraction, n)) << fraction << " " << n;
      ASSERT_EQ(FindBand(fraction, BandLowerEdge(fraction, n)), n) << fraction << " " << n;
      ASSERT_EQ(FindBand(fraction, std::nextafter(BandUpperEdge(fraction, n), 0.0)), n) << fraction << " " << n;
    }
  }
  EXPECT_NEAR(BandLowerEdge(3, 13), 17.78, 0.01);
  EXPECT_NEAR(BandUpperEdge(3, 13), 22.39, 0.01);
}

TEST(BandFinder, MarginsAnswerMinusOneAndBeyondThemTheSearchFails) {
  EXPECT_EQ(FindBand(3, 1.0), -1);  // the 1 Hz band is never returned
  EXPECT_EQ(FindBand(1, 200000.0), -1);
  EXPECT_EQ(FindBand(3, BandLowerEdge(3, 0)), -1);   // lo itself passes
  EXPECT_EQ(FindBand(24, BandUpperEdge(24, 409)), -1);  // hi itself passes
  EXPECT_EQ(RaisedBy(3, 0.5), E_FAIL);
  EXPECT_EQ(RaisedBy(1, 400000.0), E_FAIL);
  EXPECT_EQ(RaisedBy(12, std::nextafter(BandUpperEdge(12, 205), 1e9)), E_FAIL);
  EXPECT_EQ(RaisedBy(3, std::nan("")), E_FAIL);
}

TEST(BandFinder, RowBandTellsTheFirstBandFromTheUpperMargin) {
  for (LONG fraction : {1, 3, 12, 24}) {
    const BandSeries* series = FindSeries(fraction);
    ASSERT_NE(series, nullptr);
    // Where FindBand answers kNoBand: the first band, or above the last.
    EXPECT_EQ(RowBandOf(fraction, 1.0), std::optional<LONG>(series->FirstBand)) << fraction;
    EXPECT_EQ(RowBandOf(fraction, BandLowerEdge(fraction, series->FirstBand)), std::optional<LONG>(series->FirstBand));
    EXPECT_EQ(RowBandOf(fraction, std::nextafter(BandLowerEdge(fraction, series->FirstBand + 1), 0.0)),
              std::optional<LONG>(series->FirstBand));
    const LONG last = series->FirstBand + series->Count - 1;
    EXPECT_EQ(RowBandOf(fraction, BandUpperEdge(fraction, last)), std::nullopt) << fraction;
    EXPECT_EQ(RowBandOf(fraction, BandUpperEdge(fraction, last + 1)), std::nullopt) << fraction;
    // Everywhere else it is FindBand.
    EXPECT_EQ(RowBandOf(fraction, 1000.0), std::optional<LONG>(FindBand(fraction, 1000.0)));
    EXPECT_THROW(RowBandOf(fraction, 0.5), _com_error);
  }
}

TEST(BandFinder, FractionsWithoutARowAreRefused) {
  for (LONG fraction : {0, 2, 6, -3, 48}) {
    EXPECT_EQ(FindSeries(fraction), nullptr);
    EXPECT_EQ(RaisedBy(fraction, 1000.0), E_FAIL) << fraction;
    EXPECT_THROW(BandLowerEdge(fraction, 1), _com_error);
    EXPECT_THROW(BandUpperEdge(fraction, 1), _com_error);
  }
}

// The rows' constants themselves are not restated here; what a wrong row or
// a wrong index into one would break is: the labels at the bands FindBand
// names, and every nominal value inside its own band.
TEST(BandFinder, RowsCarryNominalValuesAndLabels) {
  EXPECT_EQ(FindSeries(3)->Label(FindBand(3, 1000.0)), "1 kHz");
  EXPECT_EQ(FindSeries(3)->Label(52), "");  // past the row
  EXPECT_EQ(FindSeries(1)->Label(FindBand(1, 31.5)), "31.5 Hz");
  EXPECT_EQ(FindSeries(12)->NominalFrequency(1), 1.06);
  EXPECT_EQ(FindSeries(24)->Label(FindBand(24, 125000.0)), "125 kHz");
  // Every nominal value lies inside its band.
  for (LONG fraction : {1, 3, 12, 24}) {
    const BandSeries* s = FindSeries(fraction);
    for (LONG n = 0; n < s->Count; ++n) {
      ASSERT_GT(s->NominalFrequency(n), BandLowerEdge(fraction, n)) << fraction << " " << n;
      ASSERT_LT(s->NominalFrequency(n), BandUpperEdge(fraction, n)) << fraction << " " << n;
    }
  }
}

}  // namespace
}  // namespace vq::bands
