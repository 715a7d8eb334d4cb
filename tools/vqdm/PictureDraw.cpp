// Draws a figure model (Picture.h) with cairo: the same drawing calls make
// the PNG, the SVG and the PDF, only the surface differs.
#include <cairo-pdf.h>
#include <cairo-svg.h>
#include <cairo.h>
#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "tools/vqdm/Common.h"
#include "tools/vqdm/Picture.h"

namespace vqdm {

void ScaleColour(double t, unsigned char rgb[3]) {
  struct Anchor {
    double at;
    double r, g, b;
  };
  static const Anchor kAnchors[] = {
      {0.00, 12, 8, 48}, {0.30, 80, 20, 140}, {0.55, 196, 48, 92}, {0.80, 248, 152, 36}, {1.00, 255, 248, 196}};
  if (!(t >= 0.0)) t = 0.0;  // NaN too
  if (t > 1.0) t = 1.0;
  size_t k = 1;
  while (k + 1 < std::size(kAnchors) && t > kAnchors[k].at) ++k;
  const Anchor& a = kAnchors[k - 1];
  const Anchor& b = kAnchors[k];
  const double f = (t - a.at) / (b.at - a.at);
  rgb[0] = static_cast<unsigned char>(std::lround(a.r + (b.r - a.r) * f));
  rgb[1] = static_cast<unsigned char>(std::lround(a.g + (b.g - a.g) * f));
  rgb[2] = static_cast<unsigned char>(std::lround(a.b + (b.b - a.b) * f));
}

namespace {

struct SurfaceRelease {
  void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
struct ContextRelease {
  void operator()(cairo_t* c) const { cairo_destroy(c); }
};
using Surface = std::unique_ptr<cairo_surface_t, SurfaceRelease>;
using Context = std::unique_ptr<cairo_t, ContextRelease>;

// The output file, written through cairo's stream callbacks so that a
// failed write is the system's reason, not cairo's.
class FileSink {
 public:
  explicit FileSink(const std::string& path) : m_Path(path), m_File(std::fopen(path.c_str(), "wb")) {
    if (m_File == nullptr) throw ToolError("cannot write " + path + ": " + std::strerror(errno));
  }
  ~FileSink() {
    if (m_File != nullptr) std::fclose(m_File);
  }
  FileSink(const FileSink&) = delete;
  FileSink& operator=(const FileSink&) = delete;
  static cairo_status_t Write(void* closure, const unsigned char* data, unsigned int length) {
    auto* sink = static_cast<FileSink*>(closure);
    if (std::fwrite(data, 1, length, sink->m_File) == length) return CAIRO_STATUS_SUCCESS;
    sink->m_Errno = errno;
    return CAIRO_STATUS_WRITE_ERROR;
  }
  void Close(cairo_status_t status) {
    const bool closed = std::fclose(m_File) == 0;
    if (!closed && m_Errno == 0) m_Errno = errno;
    m_File = nullptr;
    if (m_Errno != 0) throw ToolError("cannot write " + m_Path + ": " + std::strerror(m_Errno));
    if (status != CAIRO_STATUS_SUCCESS)
      throw ToolError("cannot write " + m_Path + ": " + cairo_status_to_string(status));
  }

 private:
  std::string m_Path;
  FILE* m_File;
  int m_Errno = 0;
};

constexpr const char* kFont = "DejaVu Sans";
constexpr double kInk = 0.15;  // grey of text and frames

enum class Align { kLeft, kCentre, kRight };

void Text(cairo_t* cr, const std::string& text, double x, double y, double size, Align align, bool bold = false,
          double maxWidth = 0.0) {
  cairo_select_font_face(cr, kFont, CAIRO_FONT_SLANT_NORMAL, bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, size);
  cairo_text_extents_t e;
  cairo_text_extents(cr, text.c_str(), &e);
  if (maxWidth > 0.0 && e.x_advance > maxWidth) {
    // Too long for its room: smaller, never clipped.
    cairo_set_font_size(cr, size * maxWidth / e.x_advance);
    cairo_text_extents(cr, text.c_str(), &e);
  }
  const double shift = align == Align::kLeft ? 0.0 : align == Align::kCentre ? e.x_advance / 2 : e.x_advance;
  cairo_move_to(cr, x - shift, y);
  cairo_show_text(cr, text.c_str());
}

double TextWidth(cairo_t* cr, const std::string& text, double size) {
  cairo_select_font_face(cr, kFont, CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, size);
  cairo_text_extents_t e;
  cairo_text_extents(cr, text.c_str(), &e);
  return e.x_advance;
}

void Ink(cairo_t* cr) { cairo_set_source_rgb(cr, kInk, kInk, kInk); }

void LineColour(cairo_t* cr, size_t i) {
  static const unsigned char kPalette[][3] = {{31, 119, 180}, {214, 39, 40},  {44, 160, 44}, {148, 103, 189},
                                              {255, 127, 14}, {23, 190, 207}, {140, 86, 75}, {227, 119, 194}};
  const unsigned char* c = kPalette[i % std::size(kPalette)];
  cairo_set_source_rgb(cr, c[0] / 255.0, c[1] / 255.0, c[2] / 255.0);
}

// Cells as an image, one pixel each, stretched over the area without smoothing.
void DrawMap(cairo_t* cr, const Grid& grid, double low, double high, double x0, double y0, double w, double h) {
  if (grid.rows == 0 || grid.columns == 0) return;
  Surface image(
      cairo_image_surface_create(CAIRO_FORMAT_RGB24, static_cast<int>(grid.columns), static_cast<int>(grid.rows)));
  if (cairo_surface_status(image.get()) != CAIRO_STATUS_SUCCESS) return;
  cairo_surface_flush(image.get());
  unsigned char* data = cairo_image_surface_get_data(image.get());
  const int stride = cairo_image_surface_get_stride(image.get());
  for (size_t r = 0; r < grid.rows; ++r) {
    auto* line = reinterpret_cast<uint32_t*>(data + static_cast<size_t>(stride) * (grid.rows - 1 - r));
    for (size_t c = 0; c < grid.columns; ++c) {
      unsigned char rgb[3];
      const double v = grid.cells[r * grid.columns + c];
      ScaleColour((v - low) / (high - low), rgb);
      line[c] = std::isnan(v) ? 0xD8D8D8u : (uint32_t(rgb[0]) << 16) | (uint32_t(rgb[1]) << 8) | rgb[2];
    }
  }
  cairo_surface_mark_dirty(image.get());
  cairo_save(cr);
  cairo_rectangle(cr, x0, y0, w, h);
  cairo_clip(cr);
  cairo_translate(cr, x0, y0);
  cairo_scale(cr, w / static_cast<double>(grid.columns), h / static_cast<double>(grid.rows));
  cairo_set_source_surface(cr, image.get(), 0, 0);
  cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_NEAREST);
  cairo_paint(cr);
  cairo_restore(cr);
}

struct Mapping {
  double x0, y0, w, h;
  const AxisModel& x;
  const AxisModel& y;
  double X(double at) const { return x0 + (at - x.low) / (x.high - x.low) * w; }
  double Y(double at) const { return y0 + h - (at - y.low) / (y.high - y.low) * h; }
};

void DrawLines(cairo_t* cr, const Panel& panel, const Mapping& m) {
  cairo_save(cr);
  cairo_rectangle(cr, m.x0, m.y0, m.w, m.h);
  cairo_clip(cr);
  cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
  // Waterfall lines from the back (last) to the front, each hiding what
  // lies behind it down to its baseline.
  for (size_t k = panel.lines.size(); k-- > 0;) {
    const Series& s = panel.lines[k];
    if (std::isnan(s.baseline) || s.x.empty()) continue;
    cairo_new_path(cr);
    for (size_t i = 0; i < s.x.size(); ++i) cairo_line_to(cr, m.X(s.x[i]), m.Y(s.y[i]));
    cairo_line_to(cr, m.X(s.x.back()), m.Y(s.baseline));
    cairo_line_to(cr, m.X(s.x.front()), m.Y(s.baseline));
    cairo_close_path(cr);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_fill(cr);
    cairo_new_path(cr);
    for (size_t i = 0; i < s.x.size(); ++i) cairo_line_to(cr, m.X(s.x[i]), m.Y(s.y[i]));
    cairo_set_source_rgb(cr, 0.10, 0.18, 0.45);
    cairo_set_line_width(cr, 1.0);
    cairo_stroke(cr);
  }
  for (size_t k = 0; k < panel.lines.size(); ++k) {
    const Series& s = panel.lines[k];
    if (!std::isnan(s.baseline)) continue;
    cairo_new_path(cr);
    for (size_t i = 0; i < s.x.size(); ++i) {
      if (std::isnan(s.y[i])) {
        cairo_new_sub_path(cr);
        continue;
      }
      cairo_line_to(cr, m.X(s.x[i]), m.Y(s.y[i]));
    }
    LineColour(cr, k);
    cairo_set_line_width(cr, 1.8);
    cairo_stroke(cr);
  }
  cairo_restore(cr);
}

void Draw(cairo_t* cr, const Figure& f) {
  const Frame frame = PlotFrame(f);
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_paint(cr);
  Ink(cr);
  Text(cr, f.title, frame.left, 28, 19, Align::kLeft, true, f.width - frame.left - 10);
  if (!f.subtitle.empty()) Text(cr, f.subtitle, frame.left, 52, 13.5, Align::kLeft, false, f.width - frame.left - 10);

  const double right = frame.left + frame.width;
  for (size_t p = 0; p < f.panels.size(); ++p) {
    const Panel& panel = f.panels[p];
    const Mapping m{frame.left,  frame.top + static_cast<double>(p) * (frame.panelHeight + frame.gap),
                    frame.width, frame.panelHeight,
                    f.x,         panel.y};
    const bool lines = panel.map.rows == 0;
    if (lines) {
      // Light grid lines where lines are read against the ticks.
      cairo_set_source_rgb(cr, 0.88, 0.88, 0.88);
      cairo_set_line_width(cr, 1.0);
      for (const Tick& t : f.x.ticks) {
        cairo_move_to(cr, std::round(m.X(t.at)) + 0.5, m.y0);
        cairo_line_to(cr, std::round(m.X(t.at)) + 0.5, m.y0 + m.h);
      }
      if (panel.lines.empty() || std::isnan(panel.lines[0].baseline)) {
        for (const Tick& t : panel.y.ticks) {
          cairo_move_to(cr, m.x0, std::round(m.Y(t.at)) + 0.5);
          cairo_line_to(cr, m.x0 + m.w, std::round(m.Y(t.at)) + 0.5);
        }
      }
      cairo_stroke(cr);
      DrawLines(cr, panel, m);
    } else {
      DrawMap(cr, panel.map, f.bar.low, f.bar.high, m.x0, m.y0, m.w, m.h);
    }
    Ink(cr);
    cairo_set_line_width(cr, 1.0);
    cairo_rectangle(cr, m.x0 + 0.5, m.y0 + 0.5, m.w - 1, m.h - 1);
    cairo_stroke(cr);
    for (const Tick& t : panel.y.ticks) {
      const double y = m.Y(t.at);
      if (y < m.y0 - 0.5 || y > m.y0 + m.h + 0.5) continue;
      cairo_move_to(cr, m.x0, std::round(y) + 0.5);
      cairo_line_to(cr, m.x0 - 5, std::round(y) + 0.5);
      cairo_stroke(cr);
      Text(cr, t.text, m.x0 - 8, y + 4.5, 12, Align::kRight);
    }
    if (!panel.caption.empty()) {
      const double w = TextWidth(cr, panel.caption, 12.5) + 10;
      cairo_set_source_rgba(cr, 1, 1, 1, 0.85);
      cairo_rectangle(cr, m.x0 + 6, m.y0 + 6, w, 19);
      cairo_fill(cr);
      Ink(cr);
      Text(cr, panel.caption, m.x0 + 11, m.y0 + 20, 12.5, Align::kLeft);
    }
    if (p == 0 && !f.levelScale.empty() && f.levelHeight > 0) {
      // How high a line rises for the whole level range.
      const double x = right + 14, top = m.Y(panel.y.high), bottom = m.Y(panel.y.high - f.levelHeight);
      cairo_move_to(cr, x, top);
      cairo_line_to(cr, x, bottom);
      cairo_move_to(cr, x - 4, top + 0.5);
      cairo_line_to(cr, x + 4, top + 0.5);
      cairo_move_to(cr, x - 4, bottom - 0.5);
      cairo_line_to(cr, x + 4, bottom - 0.5);
      cairo_stroke(cr);
      Text(cr, f.levelScale, x + 8, (top + bottom) / 2 + 4.5, 12, Align::kLeft);
    }
  }
  if (!f.panels.empty()) {
    cairo_save(cr);
    cairo_translate(cr, 24, frame.top + frame.height / 2);
    cairo_rotate(cr, -M_PI / 2);
    Text(cr, f.panels[0].y.label, 0, 0, 14, Align::kCentre, false, frame.height);
    cairo_restore(cr);
  }

  // x ticks under the bottom panel; a label that would touch the one
  // before it is left out.
  const double bottom = frame.top + frame.height;
  const Mapping bottomMap{frame.left,  bottom - frame.panelHeight,
                          frame.width, frame.panelHeight,
                          f.x,         f.panels.empty() ? f.x : f.panels.back().y};
  double lastEnd = -1e9;
  for (const Tick& t : f.x.ticks) {
    const double x = bottomMap.X(t.at);
    if (x < frame.left - 0.5 || x > right + 0.5) continue;
    cairo_move_to(cr, std::round(x) + 0.5, bottom);
    cairo_line_to(cr, std::round(x) + 0.5, bottom + 5);
    cairo_stroke(cr);
    const double w = TextWidth(cr, t.text, 12);
    if (x - w / 2 < lastEnd + 6) continue;
    Text(cr, t.text, x, bottom + 20, 12, Align::kCentre);
    lastEnd = x + w / 2;
  }
  Text(cr, f.x.label, frame.left + frame.width / 2, bottom + 46, 14, Align::kCentre, false, frame.width);

  if (f.hasBar) {
    const double x = right + 18, w = 18, h = frame.height, range = f.bar.high - f.bar.low;
    cairo_pattern_t* gradient = cairo_pattern_create_linear(0, frame.top + h, 0, frame.top);
    for (int i = 0; i <= 32; ++i) {
      unsigned char rgb[3];
      ScaleColour(i / 32.0, rgb);
      cairo_pattern_add_color_stop_rgb(gradient, i / 32.0, rgb[0] / 255.0, rgb[1] / 255.0, rgb[2] / 255.0);
    }
    cairo_rectangle(cr, x, frame.top, w, h);
    cairo_set_source(cr, gradient);
    cairo_fill(cr);
    cairo_pattern_destroy(gradient);
    Ink(cr);
    cairo_rectangle(cr, x + 0.5, frame.top + 0.5, w - 1, h - 1);
    cairo_stroke(cr);
    double widest = 0;
    for (const Tick& t : f.bar.ticks) {
      const double y = frame.top + h - (t.at - f.bar.low) / range * h;
      cairo_move_to(cr, x + w, std::round(y) + 0.5);
      cairo_line_to(cr, x + w + 5, std::round(y) + 0.5);
      cairo_stroke(cr);
      Text(cr, t.text, x + w + 8, y + 4.5, 12, Align::kLeft);
      widest = std::max(widest, TextWidth(cr, t.text, 12));
    }
    cairo_save(cr);
    cairo_translate(cr, x + w + 8 + widest + 18, frame.top + h / 2);
    cairo_rotate(cr, -M_PI / 2);
    Text(cr, f.bar.label, 0, 0, 14, Align::kCentre, false, h);
    cairo_restore(cr);
  }
  if (f.legend && !f.panels.empty()) {
    const std::vector<Series>& lines = f.panels[0].lines;
    for (size_t k = 0; k < lines.size(); ++k) {
      const double y = frame.top + 14 + 22 * static_cast<double>(k);
      LineColour(cr, k);
      cairo_set_line_width(cr, 2.5);
      cairo_move_to(cr, right + 14, y - 4);
      cairo_line_to(cr, right + 38, y - 4);
      cairo_stroke(cr);
      Ink(cr);
      Text(cr, lines[k].name, right + 44, y, 12.5, Align::kLeft, false, f.width - right - 50);
    }
  }
}

// Cairo and fontconfig keep their font caches for the life of the process;
// given back at its end, so that a leak checker sees only our own leaks.
void ReleaseFontCaches() {
  cairo_debug_reset_static_data();
  FcFini();
}

}  // namespace

void WriteFigure(const Figure& figure, const std::string& path, const std::string& format) {
  static const bool releasedAtExit = std::atexit(ReleaseFontCaches) == 0;
  (void)releasedAtExit;
  FileSink sink(path);
  // A PDF page is measured in points: 3/4 of a pixel, the size the PNG has on a 96 dpi screen.
  const double scale = format == "pdf" ? 0.75 : 1.0;
  const double w = figure.width * scale, h = figure.height * scale;
  Surface surface(format == "svg"   ? cairo_svg_surface_create_for_stream(&FileSink::Write, &sink, w, h)
                  : format == "pdf" ? cairo_pdf_surface_create_for_stream(&FileSink::Write, &sink, w, h)
                                    : cairo_image_surface_create(CAIRO_FORMAT_RGB24, figure.width, figure.height));
  cairo_status_t status = cairo_surface_status(surface.get());
  if (status == CAIRO_STATUS_SUCCESS) {
    Context cr(cairo_create(surface.get()));
    cairo_scale(cr.get(), scale, scale);
    Draw(cr.get(), figure);
    status = cairo_status(cr.get());
  }
  if (status == CAIRO_STATUS_SUCCESS && format == "png")
    status = cairo_surface_write_to_png_stream(surface.get(), &FileSink::Write, &sink);
  cairo_surface_finish(surface.get());
  if (status == CAIRO_STATUS_SUCCESS) status = cairo_surface_status(surface.get());
  surface.reset();
  sink.Close(status);
}

}  // namespace vqdm
