// Identifiers of the program's resources, shared by the resource script and the code.
#pragma once

#define IDI_TESSALINE 1
#define IDC_LINK 101
#define IDR_BACK_NORMAL 201
#define IDR_BACK_HIGHLIGHT 202
