#include "sim/model.h"

// The model used when no file is given: a healthy 48 V system in float charge, two 230 V mains
// lines, six modules sharing a 60 A load, one DC panel with a battery string.
namespace sim {
namespace {

AcLine mains_line(float a, float b, float c) {
  AcLine line;
  line.a = WireValue::of(a);
  line.b = WireValue::of(b);
  line.c = WireValue::of(c);
  line.f = WireValue::of(50.0f);
  return line;
}

}  // namespace

Model default_model() {
  Model m;
  m.ac.lines = {mains_line(230.1f, 229.4f, 231.2f), mains_line(228.7f, 230.6f, 229.9f)};
  // The three values after the lines: the phase currents of the distribution.
  m.ac.values = {WireValue::of(8.4f), WireValue::of(8.1f), WireValue::of(8.6f)};
  m.ac.switches = {0x00, 0x00};

  m.rectifiers.voltage = WireValue::of(53.5f);
  const float currents[] = {10.2f, 10.0f, 10.4f, 9.9f, 10.1f, 10.3f};
  for (float c : currents) {
    Module mod;
    mod.current = WireValue::of(c);
    m.rectifiers.modules.push_back(mod);
  }

  DcPanel panel;
  panel.voltage = WireValue::of(53.5f);
  panel.current = WireValue::of(58.9f);
  panel.m = {WireValue::of(2.0f)};  // battery charge current
  panel.fuses = {0x00, 0x00, 0x00, 0x00};
  m.dc.panels = {panel};
  return m;
}

}  // namespace sim
