/*
 * SPDX-License-Identifier: MIT
 *
 * Orwin_Export.h - marks what the libraries export. They are built with
 * hidden visibility, so only declarations marked ORWIN_API (and the C
 * functions of the exported header blocks) are part of the interface.
 */
#ifndef ORWIN_EXPORT_H
#define ORWIN_EXPORT_H

#if defined(__GNUC__)
#define ORWIN_API __attribute__((visibility("default")))
#define ORWIN_LOCAL __attribute__((visibility("hidden")))
#else
#define ORWIN_API
#define ORWIN_LOCAL
#endif

#endif /* ORWIN_EXPORT_H */
