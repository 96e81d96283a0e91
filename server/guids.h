// The four fixed identifiers of the Halvorin server. The class and interface identifiers
// are shared with every client, Brannock included; never change them.
//   library  HALVORINLib  {E8441869-7D42-42CC-84D2-EC9DC0B298A6}
//   class    Halvorin     {EF43ED2B-0DCE-4F0B-B5C4-E3FF3A310FD2}
//   interface IHalvorin   {D81CE6A2-529D-4029-B902-F1C53DD7275D}
//   application (AppID)   {6C70D5C2-91A4-4721-BBF4-AD80752474EF}
#pragma once
#define HALVORIN_APPID_TEXT "{6C70D5C2-91A4-4721-BBF4-AD80752474EF}"
#define HALVORIN_CLSID_TEXT "{EF43ED2B-0DCE-4F0B-B5C4-E3FF3A310FD2}"
#define HALVORIN_LIBID_TEXT "{E8441869-7D42-42CC-84D2-EC9DC0B298A6}"
#define HALVORIN_IID_TEXT "{D81CE6A2-529D-4029-B902-F1C53DD7275D}"
