// Ids of the resource module's dialogs, menu, icon, bitmaps and strings,
// shared by the module and the program that loads it.
#pragma once

// Dialog templates
#define IDD_ABOUTBOX 100
#define IDD_TARGET_IMAGE 101
#define IDD_MAIN 102
#define IDD_BATCH 106
#define IDD_CONVERT_TYPE 129
#define IDD_TARGET_AVI 130
#define IDD_VIDEO_SOURCE 131
#define IDD_IMAGE_SOURCE 133
#define IDD_TARGET_MPEG 134
#define IDD_TARGET_ASF 136
#define IDD_SCAN 139
#define IDD_LOG 193
#define IDD_TARGET_DISC 284
#define IDD_ASF_INFO 285
#define IDD_CODEC_INFO 287
#define IDD_TARGET_3GP 288
#define IDD_TARGET_PSP 290
#define IDD_TARGET_MP4 291
#define IDD_TARGET_IPOD 292
#define IDD_PSP_INFO 293
#define IDD_3GP_INFO 294
#define IDD_IPOD_INFO 295
#define IDD_TARGET_FLV 296
#define IDD_PROPERTY_FRAME 297

// Menu, icon
#define IDR_MAIN_MENU 238
#define IDR_MAINFRAME 128

// Bitmaps of the main window
#define IDB_MAIN_BACKGROUND 157
#define IDB_STATUS_IMAGES 138
#define IDB_HEADER 178
#define IDB_MENU_HOVER 158
#define IDB_MENU_NORMAL 159
#define IDB_ROUND_MASK 160
#define IDB_MINIMIZE_HOVER 161
#define IDB_CLOSE_NORMAL 162
#define IDB_CLOSE_HOVER 163
#define IDB_MINIMIZE_NORMAL 164
#define IDB_MENU_DISABLED 168
#define IDB_ADD_HOVER 165
#define IDB_ADD_NORMAL 166
#define IDB_ADD_DISABLED 167
#define IDB_START_HOVER 171
#define IDB_START_NORMAL 172
#define IDB_STOP_HOVER 173
#define IDB_STOP_NORMAL 174
#define IDB_REMOVE_HOVER 175
#define IDB_REMOVE_NORMAL 176
#define IDB_REMOVE_DISABLED 177
#define IDB_PROGRESS_MASK 179
#define IDB_PROGRESS_FIELD 180
#define IDB_HOMEPAGE_MASK 181
#define IDB_HOMEPAGE_NORMAL 184
#define IDB_HOMEPAGE_HOVER 185
#define IDB_PILL_MASK 186
// List buttons: both bitmaps and icons of these ids exist.
#define IDB_MOVE_UP 189
#define IDB_REMOVE_ITEM 190
#define IDB_ADD_ITEM 191
#define IDB_MOVE_DOWN 192

// Strings
#define IDS_STOP_QUESTION 128
#define IDS_PROBE_FAILED 118
#define IDS_NO_VIDEO 119
#define IDS_NO_SOURCE 117
#define IDS_SOURCE_IS_FOLDER 120
#define IDS_BAD_PICTURE 121
#define IDS_NOT_MPEG_SOURCE 122
#define IDS_SOURCE_NOT_FOUND 124
#define IDS_NO_OUTPUT_NAME 125
#define IDS_BAD_OUTPUT_NAME 126
#define IDS_NO_PICTURES 129
#define IDS_WM_UNAVAILABLE 143
#define IDS_NO_OUTPUT_FOLDER 204
#define IDS_FOLDER_NOT_WRITABLE 127
#define IDS_OUTPUT_IS_SOURCE 123
#define IDS_DESC_AVI 132
#define IDS_DESC_ASF 133
#define IDS_DESC_MPEG 134
#define IDS_DESC_DISC 135
#define IDS_DESC_TVSYSTEM 136
#define IDS_DESC_3GP 137
#define IDS_DESC_PSP 138
#define IDS_DESC_MP4 139
#define IDS_DESC_FLV 140
#define IDS_DESC_PICTURES_TO_VIDEO 141
#define IDS_DESC_VIDEO_TO_PICTURES 142
#define IDS_DESC_IPOD 145
#define IDS_DISC_VCD 201
#define IDS_DISC_SVCD 202
#define IDS_DISC_DVD 203

// Controls of the main window
// The progress line: a skinned field that shows the progress and how a run
// ended.
#define IDC_PROGRESS_LINE 1083
// Below it: which job of a run is converting and how many follow.
#define IDC_RUN_STATUS 1084

// Menu commands
#define ID_JOB_REMOVE 40001
#define ID_JOB_REMOVE_ALL 40002
#define ID_JOB_CONVERT_AGAIN 40003
#define ID_JOB_SHOW_LOG 40004
#define ID_JOB_ADD_BATCH 40012
#define ID_JOB_ADD 40013
#define ID_HELP_CONTENTS 271
#define ID_HELP_SUPPORT_MAIL 272
#define ID_HELP_ABOUT 275
#define ID_HELP_HOMEPAGE 276
#define ID_VIDEO_DECODER_SETTINGS 277
#define ID_AUDIO_DECODER_SETTINGS 278
