#pragma once

#include "protocol/frame.h"
#include "sim/status_rules.h"

#include <QString>

#include <cstdint>

// The panel view's words for status bytes and events, in the event catalogue's terms.

// The zones whose bits are set, "1、3、8"; empty when none.
QString ZoneListText(std::uint8_t bits);
// The device flags that are set, each by the catalogue name of the event that sets it: "设备撤防、无ac".
QString DeviceFlagsText(std::uint8_t flags);
// "01 11 00 00".
QString StatusBytesText(const veltrano::StatusBytes& status);
// The catalogue's name of the event, "防区报警".
QString EventNameText(const veltrano::PanelEvent& event);
// What the event log's zone column shows: the zone of a zone row, the bits of a status-bits event.
QString EventDetailText(const veltrano::PanelEvent& event);
