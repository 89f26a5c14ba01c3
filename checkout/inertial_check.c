/* Accelerometer, gyroscope and magnetometer, all three axes each, one line
 * every 100 ms. Runs until stopped. */
#include <stdio.h>

#include <kestrix/accel.h>
#include <kestrix/gyro.h>
#include <kestrix/magneto.h>
#include <kestrix/util.h>

int main(void)
{
    for (;;) {
        const short ax = accel_x();
        const short ay = accel_y();
        const short az = accel_z();
        const short gx = gyro_x();
        const short gy = gyro_y();
        const short gz = gyro_z();
        const short mx = magneto_x();
        const short my = magneto_y();
        const short mz = magneto_z();

        printf("ax:%d ay:%d az:%d   gx:%d gy:%d gz:%d   mx:%d my:%d mz:%d\n", ax, ay, az, gx, gy, gz, mx,
               my, mz);
        msleep(100);
    }
}
