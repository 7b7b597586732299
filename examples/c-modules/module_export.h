/* Marks the two entry points a module exports to Vessel; everything else stays hidden. */
#ifndef VESSEL_MODULE_EXPORT_H
#define VESSEL_MODULE_EXPORT_H

#define MODULE_EXPORT __attribute__((visibility("default")))

#endif
