/*
 * libqxav.so: the antivirus library of qxfw.
 *
 * A flat C interface in front of the scanning engine libdvengine32.so, plus quarantine,
 * restore, the signature update client and the repair of hooked C-library entry points.
 * The firewall program and qxfwctl load the library by name (dlopen "libqxav.so" from the
 * antivirus folder) and bind the sixteen functions below by name; no other symbol leaves the
 * library.
 *
 * Rules that hold for every function:
 * - Texts are NUL-terminated UTF-8 byte strings. Paths use "/".
 * - Every result is an int32_t; no C++ exception and no error text leave the library.
 * - The library never keeps a pointer the caller passed in; it copies what it needs.
 *   Caller buffers are written with bounded copies and are always NUL-terminated.
 * - The library frees what it allocates; the caller frees what it passes.
 * - There is one engine and one scan context per process.
 *
 * Threads: FileScan runs under the library's scan lock, so two scans never overlap. The
 * names a scan leaves behind (GetCurObjectName, GetLastVirusName) are process-wide: a host
 * that scans from several threads must hold one lock of its own over FileScan and the calls
 * that read its results, or one scan's names reach another caller. All other functions run
 * without a lock and must not be called while a scan or an update runs on another thread.
 *
 * Expected calling order: SetDVSourceDir (optional), the update functions while the engine
 * is not initialised, InitEngine and GetEngineInfo, ModifySettings, DefineQuarantine, any
 * number of FileScan calls (each followed on a non-zero result by GetCurObjectName and
 * GetLastVirusName), ShutdownEngine. InitEngine may be called again after ShutdownEngine.
 */
#ifndef QXFW_AVLIB_QXAV_H_
#define QXFW_AVLIB_QXAV_H_

#include <stdint.h>

#if defined(QXAV_BUILDING_LIBRARY)
#define QXAV_API __attribute__((visibility("default")))
#else
#define QXAV_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Buffer sizes the caller provides. */
#define QXAV_VIRUS_NAME_SIZE 384  /* GetLastVirusName */
#define QXAV_OBJECT_NAME_SIZE 260 /* GetCurObjectName */
#define QXAV_PATH_SIZE                                                      \
  260 /* longest folder or path text the library keeps, terminator included \
       */

/* Bits of a FileScan result (a flag word of the engine). */
#define QXAV_FLAG_INFECTED 0x1
#define QXAV_FLAG_CONTAINER 0x1000    /* the object is a container with reported members */
#define QXAV_FLAG_DEPTH_LIMIT 0x10000 /* containers were nested deeper than 64 levels */

/* Virus type codes (GetLastVirusName). */
#define QXAV_TYPE_VIRUS 1
#define QXAV_TYPE_ADWARE 5   /* also 6 */
#define QXAV_TYPE_RISKWARE 7 /* also 8; the "danger program" class */
#define QXAV_TYPE_HACKING_TOOL 9

/* Filled by GetEngineInfo. */
typedef struct EngineInfo {
  int32_t engineVersion; /* engine version, major * 100 + minor */
  int32_t virusRecords;  /* signature records loaded by the last InitEngine */
  int32_t platformId;    /* 2 on this platform (the "NT family" code) */
} EngineInfo;

/* Given to ModifySettings: five words, 0 = off, anything else = on. */
typedef struct ScanSettings {
  int32_t adware;        /* report objects of virus type 5 or 6 */
  int32_t hackingTool;   /* report objects of virus type 9 */
  int32_t dangerProgram; /* report objects of virus type 7 or 8 */
  int32_t scanArchives;  /* open archives and compressed files for member scanning */
  int32_t scanEmail;     /* open mail files for member scanning */
} ScanSettings;

/*
 * Progress targets of FileUpdateWithProgress and FileUpdateWithProgressBasic: what a
 * progress-bar window and a text window are to the update client. Callbacks run on the
 * thread that called the update function, synchronously; a callback that is NULL is not
 * called. The structs and their contexts are the caller's and must live for the call.
 */
typedef struct QxavProgressBar {
  void* context;
  void (*setRange)(void* context, int32_t low, int32_t high);
  int32_t (*getPosition)(void* context);
  void (*setPosition)(void* context, int32_t position);
} QxavProgressBar;

typedef struct QxavTextWindow {
  void* context;
  void (*setText)(void* context, const char* text); /* text is valid during the call only */
} QxavTextWindow;

/* ---- Engine set-up ---------------------------------------------------------------------- */

/*
 * Loads libdvengine32.so from the engine folder (the folder given to SetDVSourceDir, else
 * the folder of the running program), starts it and loads every ".vdb" database of that
 * folder whose header is valid, highest priority first.
 * Returns 1 when the engine runs and at least one signature record was loaded; 0 when the
 * engine library or its entry point is missing, the engine refuses to start, no database
 * file is usable or no record was loaded. After 0 the host must not call FileScan.
 */
QXAV_API int32_t InitEngine(void);

/*
 * Fills *info (asks the engine for its version each time). Safe before InitEngine and after
 * ShutdownEngine: then engineVersion and virusRecords are 0. info may be NULL (nothing is
 * written). Returns 1 when the engine was asked, 0 otherwise; hosts need not rely on it.
 */
QXAV_API int32_t GetEngineInfo(EngineInfo* info);

/* Stops the engine, unloads it and forgets the database list and record count. Returns 1. */
QXAV_API int32_t ShutdownEngine(void);

/*
 * Copies the five words of *settings; they apply to every later FileScan. NULL is ignored.
 * Returns 1 when copied, 0 for NULL; hosts need not rely on it.
 */
QXAV_API int32_t ModifySettings(const ScanSettings* settings);

/*
 * Sets the engine folder (also where the container report file "dvtmp.dv" goes). A "/" is
 * appended when the text does not end in one; texts of QXAV_PATH_SIZE - 1 bytes or more
 * (with that "/") and NULL are refused and leave the folder unchanged. Returns 0.
 */
QXAV_API int32_t SetDVSourceDir(const char* folder);

/* ---- Scanning --------------------------------------------------------------------------- */

/*
 * Scans one file with mode 0 or 1 (the mode is told to the engine; both scan).
 * Result:
 *   -1  the file could not be scanned (no memory, unreadable, the engine failed or is not
 *       initialised);
 *    0  clean, filtered out by ScanSettings, or a container none of whose members is reported;
 *   else the engine's flag word with QXAV_FLAG_INFECTED set; for a container the result also
 *       has QXAV_FLAG_CONTAINER, and each reported member is one line
 *       "<container path>/<member>\t<virus name>\t<container type text>\n" of the report file
 *       "dvtmp.dv" in the engine folder (rewritten by each container scan).
 * Mode 2 or 4: moves the file to quarantine with the last virus name as its note and returns
 * 0. Any other mode: returns -1 and does nothing. path NULL: -1.
 * Runs under the scan lock, released on every way out.
 */
QXAV_API int32_t FileScan(const char* path, int32_t mode);

/*
 * Copies the name of the last reported virus into buffer (at least QXAV_VIRUS_NAME_SIZE
 * bytes) and clears the library's copy, so a second call yields "". Returns the virus type
 * code of that name (QXAV_TYPE_*), 0 when there is none. Safe before InitEngine and after
 * ShutdownEngine. buffer NULL: nothing is copied and the copy is kept.
 */
QXAV_API int32_t GetLastVirusName(char* buffer);

/*
 * Copies the path of the last object scanned (inside containers the names of all levels
 * joined by "/") into buffer (at least QXAV_OBJECT_NAME_SIZE bytes; longer paths are cut)
 * and clears it, so a second call yields "". Returns 1 (0 for a NULL buffer).
 */
QXAV_API int32_t GetCurObjectName(char* buffer);

/* ---- Quarantine and restore ------------------------------------------------------------- */

/*
 * Sets the quarantine base folder; quarantined files go to "<base>/quarantine/<uid>".
 * Returns 1 when stored, 0 when folder is NULL or too long (QXAV_PATH_SIZE - 1 bytes or more).
 */
QXAV_API int32_t DefineQuarantine(const char* folder);

/*
 * Moves the file at path into the caller's quarantine folder, scrambled, with note (the
 * virus name) in its header. Returns 1 when the quarantine file is complete and on disk and
 * the source was deleted; 0 when nothing changed (the source is kept): no quarantine base,
 * the source unreadable, a path containing "|" or ";" or too long to restore, a note
 * containing ";", a failed or short write, or a source that could not be deleted.
 * After a FileScan of the same path, the file that scan read is what moves (its name removed
 * through the folder it was read from); 0 when the path no longer leads to it.
 */
QXAV_API int32_t FileToQuarantine(const char* path, const char* note);

/*
 * Restores a quarantine file of the caller's to the path named in its header and deletes the
 * quarantine file. Returns 1 when restored and deleted; 0 on any failure: the file is not
 * the caller's, the header is malformed, its path is not absolute or holds "..", NUL or
 * control characters, a folder on the way is a symbolic link or belongs to a user other than
 * the caller or root, the target's folder is not the one the file was quarantined from, the
 * target is a symbolic link or another user's file, its folder cannot be made, a write failed,
 * or the quarantine file could not be deleted (the restored file then stays). A refusal keeps
 * the quarantine file and writes its reason as a debug line.
 */
QXAV_API int32_t RestoreFile(const char* quarantinePath);

/* ---- Signature update ------------------------------------------------------------------- */

/*
 * Brings the engine files of folder up to date from the update server. checkOnly non-zero:
 * only asks whether an update is available; nothing is downloaded or written.
 * Result: > 0 number of files downloaded; 0 nothing to update (versions equal, or the
 * server's answer was not understood); -1 no connection; -2 the server closed without
 * answering; -3 a download failed, a list could not be opened, or folder is NULL or empty;
 * -4 checkOnly and an update is available.
 * The engine must not be initialised while an update runs.
 */
QXAV_API int32_t FileUpdate(const char* folder, int32_t checkOnly);

/*
 * As FileUpdate without check-only, reporting progress: textWindow receives the local path
 * of each download before it starts; progressBar gets the range 0 to the number of list
 * lines and advances by 1 per line read. Either may be NULL. Same results as FileUpdate.
 */
QXAV_API int32_t FileUpdateWithProgress(const char* folder, const QxavProgressBar* progressBar,
                                        const QxavTextWindow* textWindow);

/*
 * As FileUpdate, in basic mode: program files beyond the engine, databases and the library
 * are not fetched. Basic mode stays on for the rest of the process's life.
 */
QXAV_API int32_t FileUpdateBasic(const char* folder, int32_t checkOnly);

/* As FileUpdateWithProgress, in basic mode (which then stays on). */
QXAV_API int32_t FileUpdateWithProgressBasic(const char* folder, const QxavProgressBar* progressBar,
                                             const QxavTextWindow* textWindow);

/* ---- Resident infection repair ---------------------------------------------------------- */

/*
 * For every process the caller may trace, compares the entry bytes of the C library's
 * execve, posix_spawn, fork, open and openat in that process with the library file on disk
 * and restores the bytes that differ while the process is stopped. Processes that cannot be
 * attached to are skipped silently. Returns 1 when the repair ran, 0 when the C library file
 * could not be read.
 */
QXAV_API int32_t VirutCure(void);

#ifdef __cplusplus
}
#endif

#endif /* QXFW_AVLIB_QXAV_H_ */
