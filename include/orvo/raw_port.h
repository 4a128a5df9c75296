/* Raw port interface of liborvo-pkcs11: byte access to an Orvo USB HID device for maintenance
 * tools, without the PKCS#11 interface and without the library's configuration.
 *
 * A port carries whole requests and replies; the transport adds and removes the framing. A
 * reply may be read in several pieces: bytes a bRead did not take are handed out first by the
 * next one. Failures print one line on the standard error stream. A port is used by one thread
 * at a time. */
#ifndef ORVO_RAW_PORT_H
#define ORVO_RAW_PORT_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Serial numbers of the attached devices with these IDs (0 = any; a vendor ID of 0 admits only
 * the maker's devices), sorted, without duplicates, ended by a null pointer. Null when the list
 * could not be built. Release with vFreeDeviceList. */
char** pListDevices(uint16_t vendorId, uint16_t productId);
void vFreeDeviceList(char** list);

/* Opens a port to the first device interface matching the IDs and, when not null, the product
 * name and serial number. Every later read waits up to timeoutMs per report. Null on failure. */
void* pOpenPort(uint16_t vendorId, uint16_t productId, uint32_t timeoutMs, const char* productName,
                const char* serialNumber);
bool bWrite(void* port, const uint8_t* data, uint32_t length);
/* On entry *length is the capacity of buffer; on return the number of bytes delivered (0 when
 * nothing arrived in time). */
bool bRead(void* port, uint8_t* buffer, uint32_t* length);
/* Closes the port's connection. The port handle stays valid: later calls on it fail cleanly. */
void vClosePort(void* port);

#ifdef __cplusplus
}
#endif

#endif
